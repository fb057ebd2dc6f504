"""`sorvane sweep`: a grid of target configurations evaluated on the log,
ranked best first.

Every point of the grid is a target of `sorvane eval`, evaluated by one of
its methods. By the long-run replay and by rejection sampling each target
runs on states of its own, and its estimate is the one eval gives it
whatever other targets are passed. Rejection sampling makes each target a
job. The long-run replay reads the log once for every target: here it is
one job, run in this process, whose native pass steps the targets side by
side on --workers threads; on a cluster its targets are grouped into jobs
as the weighted estimators' are. Its reward model is fitted once, here,
and handed to every job. A winner is named only when
the log tells it apart from every other configuration
(longrun.recommendation); otherwise the sweep says which it cannot tell
apart and about how much more log would.

By the weighted estimators, targets that share a model (bits,
forgetfulness, default reward; see learners.py) are replayed together as
one job: one pass over the log, one `decide` and one `learn` per decision
for all of them. The logging configuration rides with the job whose model
it shares, or gets one of its own. The jobs are independent and run side
by side (jobs.py); each reports its targets the way `eval` does, so the
merged report is the same whichever worker ran which job, and the same as
the serial run byte for byte.
"""
import argparse
import itertools
import os
import struct
import sys
from typing import IO, Any

from sorvane_cli import jobs as job_runner
from sorvane_cli.commands import Command
from sorvane_cli.commands.opened import opened
from sorvane_cli.evaluation.estimators import ESTIMATORS
from sorvane_cli.evaluation.evaluate import default_replays, evaluate_log, fit_reward_model
from sorvane_cli.evaluation.longrun import DEFAULT_SCALE
from sorvane_cli.evaluation.targets import build_targets, parse_targets
from sorvane_cli.jobs import no_progress, placement, run_jobs
from sorvane_cli.log.config import LogConfig
from sorvane_cli.log.lines import DecisionLine
from sorvane_cli.log.reading import read_log
from sorvane_cli.log.source import LogSource, read_state_text
from sorvane_cli.options import CONFIG_HELP, add_config_flags, add_evaluation_flags, add_executor_flags
from sorvane_cli.report.evaluation import problems_report, report
from sorvane_cli.report.findings import Finding, Findings
from sorvane_cli.report.sweep import merge, report_text, setting
from sorvane_cli.report.text import findings_text, to_json
from sorvane_cli.status import Exit, LogError, UsageError
from sorvane_cli.status import table as exit_table


def add_parser(sub: Any, command: Command) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = sub.add_parser(
        command.name, help=command.summary,
        description="Evaluate every combination of the --grid values as an `eval` target and rank\n"
                    "them best first, with intervals, beside the logging configuration. The long-run\n"
                    "replay (the default) reads the log once for every target, on --workers threads\n"
                    "of this process. By the other methods, and on a Dask cluster (--cluster), the\n"
                    "targets are split into jobs (targets that share a model: bits, forgetfulness,\n"
                    "default reward, go together), run on --workers local processes or on the\n"
                    "cluster's workers, where every worker opens the log (and --from-state) itself,\n"
                    "at the same absolute path: a file system they all see.",
        epilog=CONFIG_HELP + "\n\n" + exit_table(), formatter_class=argparse.RawDescriptionHelpFormatter)
    add_config_flags(parser, "the state's horizon (not needed to evaluate)")
    parser.add_argument("--grid", action="append", metavar="KEY=V1,V2,...",
                        help="one axis of the grid: epsilon, bits, forgetfulness or default_reward and its values; "
                             "repeat for more axes (the rest as logged)")
    add_evaluation_flags(parser, ("longrun", "rejection", "weighted"),
                         "how configurations are evaluated, as for eval (longrun: each target's own run as long "
                         "as the log allows; rejection: each target's own online run, one job per target; "
                         "weighted: targets that share a model are one job)")
    parser.add_argument("--rank-by", choices=ESTIMATORS, default="dr", help="the weighted estimator that ranks (dr)")
    parser.add_argument("--json", action="store_true", help="the ranking as JSON")
    add_executor_flags(parser)
    return parser


def run(args: argparse.Namespace, stdout: IO[str]) -> int:
    with opened(args) as log:
        return run_sweep(args, log.config, log.progress, stdout, path=log.path, head=log.head)


def parse_grid(axes):
    """[(key, [values])] from --grid KEY=V1,V2,... arguments, each checked
    as --target checks it."""
    out = []
    seen = set()
    for axis in axes or []:
        key, sep, values = axis.partition("=")
        key = key.strip().replace("-", "_")
        if not sep or not values.strip():
            raise UsageError(f"--grid takes KEY=VALUE,VALUE,...; got {axis!r}")
        if key == "name":
            raise UsageError("--grid cannot vary the name: each configuration is named after its values")
        if key in seen:
            raise UsageError(f"--grid {key} is given twice: list all its values in one --grid")
        seen.add(key)
        parsed = []
        for value in values.split(","):
            # The same parsing and messages as --target.
            fields = parse_targets([f"{key}={value}"], "--grid", whole=False)[0]
            if fields[key] in parsed:
                raise UsageError(f"--grid {key} lists {value.strip()} twice")
            parsed.append(fields[key])
        out.append((key, parsed))
    if not out:
        raise UsageError("sweep needs at least one --grid KEY=VALUE,VALUE,...")
    return out


def grid_points(axes):
    """Every combination of the axes' values, the last axis varying fastest."""
    keys = [key for key, _ in axes]
    return [dict(zip(keys, values)) for values in itertools.product(*(values for _, values in axes))]


def _model_key(bits, forgetfulness, default_reward):
    # Bit for bit, as learners.group keys its states.
    return bits, struct.pack("<dd", forgetfulness, default_reward)


def _log_bits(path, max_line_bytes):
    """The bits of the log's first decision line, or None."""
    events = read_log(path, max_line_bytes=max_line_bytes)
    try:
        for ev in events:
            if type(ev) is DecisionLine:
                return ev.bits
    finally:
        events.close()
    return None


def plan_jobs(points, config, log_bits, method="weighted"):
    """[(the point indices of one model, whether the logging configuration
    rides along)], in the grid's order. A log that continues from a saved
    state has decisions pending from before it began, which only the
    logging configuration's own state can resolve, so there it rides with
    every job. Rejection sampling runs each target on its own state (each
    keeps its own events), so there each target is a job of its own. The
    long-run replay runs each target on its own states too, but reading the
    log is much of its work, so its jobs are grouped as the weighted ones
    are."""
    if method not in ("weighted", "both", "longrun"):
        planned = [([k], config.state_text is not None) for k in range(len(points))]
        return planned if config.state_text is not None else [([], True)] + planned
    jobs = {}
    for k, point in enumerate(points):
        bits = point.get("bits", log_bits)
        key = _model_key(bits, point.get("forgetfulness", config.forgetfulness),
                         point.get("default_reward", config.default_reward))
        jobs.setdefault(key, []).append(k)
    if config.state_text is not None:
        return [(members, True) for members in jobs.values()]
    baseline = _model_key(log_bits, config.forgetfulness, config.default_reward)
    planned = [(members, key == baseline and log_bits is not None) for key, members in jobs.items()]
    if not any(with_baseline for _, with_baseline in planned):
        planned.insert(0, ([], True))
    return planned


def balanced(planned, workers, baseline_everywhere=False):
    """The long-run replay's jobs cut so that every worker has about as
    much to do: into pieces of at most the targets' share of two jobs per
    worker (each piece reads the log once more). The logging configuration
    stays with the first piece of its job, or, continuing a saved state,
    rides with every piece (see plan_jobs)."""
    if workers <= 1:
        return planned
    if baseline_everywhere:
        most = max(1, -(-sum(len(m) for m, _ in planned) // (2 * workers)))
        return [(members[k:k + most], True) for members, _ in planned for k in range(0, len(members), most)]
    total = sum(len(members) + with_baseline for members, with_baseline in planned)
    most = max(1, -(-total // (2 * max(workers, 1))))
    out = []
    for members, with_baseline in planned:
        first = most - with_baseline
        if first <= 0 and members:
            out.append(([], True))
            with_baseline, first = False, most
        out.append((members[:first], with_baseline))
        out += [(members[k:k + most], False) for k in range(first, len(members), most)]
    return [(members, with_baseline) for members, with_baseline in out if members or with_baseline]


def sweep_job(job, progress=no_progress):
    """One pass over the log for the targets of one model (run by a worker,
    or by the command itself, which draws its progress): their part of the
    `eval` report, or what stopped it."""
    if job["state"] is not None:
        try:
            config = LogConfig(state_text=read_state_text(job["state"]))
        except OSError as exc:
            return {"usage": f"cannot read {job['state']}: {exc.strerror or exc}"}
    else:
        config = LogConfig(*job["config"], sources=job["sources"])
    try:
        source = LogSource(job["log"], job["max_line_bytes"])
        evaluation = evaluate_log(source, config, job["targets"], progress, method=job["method"],
                                  seed=job["seed"], keep=job["keep"], replays=job["replays"],
                                  with_baseline=job["baseline"], reward_model=job.get("reward_model"),
                                  scale=job.get("scale") or DEFAULT_SCALE)
    except (UsageError, LogError) as exc:
        return {"usage": str(exc)}
    if evaluation.findings.counts:
        problems = problems_report(evaluation, job["name"])
        problems["lines"] = evaluation.lines
        return {"problems": problems}
    out = {"report": report(evaluation, job["name"], job["bootstrap"], job["seed"])}
    left_out = getattr(evaluation, "left_out", None)
    if left_out is not None:
        out["report"]["left_out"] = left_out.as_dict()
    if getattr(evaluation, "long_runs", None):
        # Every term, for the paired comparisons of the recommendation.
        out["terms"] = {target.name: [runs[k].terms for runs in evaluation.long_runs]
                        for k, target in enumerate(evaluation.targets)}
    return out


def _placement(args):
    try:
        return placement(args)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _describe(job):
    names = job["targets"] + (["logging"] if job["baseline"] else [])
    return f"the job of {'; '.join(names)}"


def run_sweep(args, config, progress, out=None, path=None, head=None):
    """`path` is where the log can be read again (standard input is spooled
    to a file first)."""
    out = out if out is not None else sys.stdout
    where = _placement(args)
    if args.log == "-" and args.cluster is not None:
        raise UsageError("--cluster needs the log in a file its workers can open, not standard input")
    axes = parse_grid(args.grid)
    points = grid_points(axes)
    path = os.path.abspath(path if path is not None else args.log)
    estimator = args.method if args.method in ("longrun", "rejection") else args.rank_by
    replays = default_replays(args)
    log_bits = _log_bits(path, args.max_line_bytes)
    # Each target made once here, so a value `create` refuses is a usage
    # error before any job starts.
    build_targets(config, [setting(point) for point in points], with_baseline=False, flag="--grid")
    state = os.path.abspath(args.from_state) if config.state_text is not None else None
    model = fit_reward_model(LogSource(path, args.max_line_bytes), progress) if args.method == "longrun" else None
    jobs = []
    # The long-run replay here: one pass for every target, on the workers' count of threads.
    one_pass = args.method == "longrun" and where[1] is None
    if one_pass:
        planned = [(list(range(len(points))), True)]
    else:
        planned = plan_jobs(points, config, log_bits, args.method)
        if args.method == "longrun":
            planned = balanced(planned, 2 * len(planned), config.state_text is not None)
    for members, with_baseline in planned:
        jobs.append({"log": path, "name": args.log, "state": state, "max_line_bytes": args.max_line_bytes,
                     "config": (config.horizon, config.default_reward, config.epsilon, config.forgetfulness),
                     "sources": dict(config.sources),
                     "targets": [setting(points[k]) for k in members], "baseline": with_baseline,
                     "bootstrap": args.bootstrap, "seed": args.seed, "method": args.method,
                     "replays": replays, "reward_model": model, "scale": args.accept_scale, "keep": 10})
    if one_pass:
        saved_threads = job_runner.threads
        job_runner.share_cpus(min(where[0], 8))
        try:
            results = [sweep_job(jobs[0], progress)]
        finally:
            job_runner.threads = saved_threads
    else:
        with progress(f"sweeping ({len(jobs)} jobs)") as bar:
            total = max(len(jobs), 1)
            results = run_jobs(sweep_job, jobs, *where, _describe,
                               lambda done: bar.update(done * bar.total // total))
    for result in results:
        if "usage" in result:
            raise UsageError(result["usage"].replace(path, args.log))
    for result in results:
        if "problems" in result:
            # Every job read the same lines: the first job's problems are the log's.
            problems = result["problems"]
            if args.json:
                del problems["lines"]
                out.write(to_json(problems) + "\n")
            else:
                findings = Findings(10)
                findings.counts = dict(problems["mismatches"])
                findings.first = [Finding(f["line"], f["kind"], f["message"],
                                          [(x["field"], x["logged"], x["replayed"]) for x in f["fields"]],
                                          f.get("follow_on")) for f in problems["first"]]
                lines = [f"{args.log}: {problems['lines']} lines, {problems['decisions']} decisions"]
                lines += findings_text(findings)
                lines.append("NOT EVALUATED: the log has problems (`sorvane verify` proves what it can of it)")
                out.write("\n".join(lines) + "\n")
            return Exit.PROBLEMS
    terms = {}
    for result in results:
        terms.update(result.get("terms", {}))
    rep = merge([r["report"] for r in results], points, args.log, estimator, terms, config.epsilon)
    out.write((to_json(rep) if args.json else report_text(rep)) + "\n")
    return Exit.OK
