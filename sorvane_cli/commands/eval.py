"""`sorvane eval`: what target configurations would have earned on the log."""
import argparse
import sys
from typing import IO, Any

from sorvane_cli.commands import Command
from sorvane_cli.commands.opened import opened
from sorvane_cli.evaluation.evaluate import default_replays, evaluate_log
from sorvane_cli.evaluation.longrun import DEFAULT_SCALE
from sorvane_cli.options import CONFIG_HELP, add_config_flags, add_evaluation_flags, add_show_flag
from sorvane_cli.report.evaluation import plot, problems_report, report, report_text
from sorvane_cli.report.files import check_output
from sorvane_cli.report.text import findings_text, left_out_note, to_json
from sorvane_cli.status import Exit, table

METHODS = """methods:
  longrun    (default) every logged decision gives a doubly robust term for the target as it
             stands, and the target learns only from the decisions it accepts, each with
             probability min(1, C x target_prob / logged_propensity) (--accept-scale C, 0.3):
             each estimate is the mean reward of a run as long as its run length, printed
             beside it. A reward model fitted on the log in a first pass feeds the terms.
             --replays (3) runs side by side with their own draws.
  rejection  replays each target's own online run: the target decides over every
             logged context and the event is kept with probability
             target_prob / (M x logged_propensity), for the target's own bound M; only kept events
             reach the target's learning. Unbiased for targets that learn and explore
             differently, including epsilon 0. It measures the mean reward of a run as long
             as the kept events (their share is printed): a long log gives a long run.
             --replays runs side by side with their own draws; the interval is Student's t
             over their means, so it holds how one run's learning path varies.
  weighted   IPS, SNIPS and doubly robust: every target learns from every logged choice and
             is weighed by target_prob / logged_propensity. Tighter intervals, but a target
             inherits the logging state's exploration: right for targets that do not learn
             from their own choices (or learn like the logging one), biased otherwise.
  both       both tables."""


def add_parser(sub: Any, command: Command) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = sub.add_parser(
        command.name, help=command.summary,
        description="Estimate what target configurations would have earned on the logged "
                    "traffic; the logging configuration is evaluated too, as the baseline.",
        epilog=METHODS + "\n\n" + CONFIG_HELP + "\n\n" + table(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    add_config_flags(parser, "the state's horizon (not needed to evaluate)")
    parser.add_argument("--target", action="append", metavar="KEY=VALUE[,KEY=VALUE...]",
                        help="a target: epsilon, bits, forgetfulness, default_reward (the rest as logged) and an "
                             "optional name, comma-separated; repeat --target to compare several")
    add_evaluation_flags(parser, ("longrun", "rejection", "weighted", "both"),
                         "how targets are evaluated (longrun; see methods below)")
    parser.add_argument("--json", action="store_true", help="the estimates as JSON")
    add_show_flag(parser)
    parser.add_argument("--plot", metavar="FILE.png", help="plot the running estimates (needs matplotlib)")
    return parser


def run(args: argparse.Namespace, stdout: IO[str]) -> int:
    if args.plot:
        check_output(args.plot, "--plot", needs_matplotlib=True)
    # eval reads the log once, but the long-run replay reads it twice (its
    # reward model first): standard input is then spooled.
    with opened(args, spool=args.method == "longrun") as log:
        return run_eval(args, log.config, log.progress, stdout, source=log.source, head=log.head)


def run_eval(args, config, progress, out=None, source=None, head=None):
    out = out if out is not None else sys.stdout
    counts = head.candidate_counts if head is not None else ()
    evaluation = evaluate_log(source if source is not None else args.log, config, args.target, progress,
                              method=getattr(args, "method", "weighted"), seed=args.seed, candidate_counts=counts,
                              keep=getattr(args, "show", 10), replays=default_replays(args),
                              scale=getattr(args, "accept_scale", None) or DEFAULT_SCALE)
    if evaluation.findings.counts:
        if args.json:
            out.write(to_json(problems_report(evaluation, args.log)) + "\n")
        else:
            lines = [f"{args.log}: {evaluation.lines} lines, {evaluation.decisions} decisions"]
            lines += findings_text(evaluation.findings)
            lines.append("NOT EVALUATED: the log has problems (`sorvane verify` proves what it can of it)")
            out.write("\n".join(lines) + "\n")
        return Exit.PROBLEMS
    rep = report(evaluation, args.log, args.bootstrap, args.seed)
    left_out = getattr(evaluation, "left_out", None)
    if left_out is not None:
        rep["left_out"] = left_out.as_dict()
    if args.plot:
        plot(evaluation, args.plot)
    out.write((to_json(rep) if args.json else "\n".join([report_text(rep)] + left_out_note(rep.get("left_out"))))
              + "\n")
    return Exit.OK
