"""`sorvane verify`: prove every record and resolution of the log, in one
pass or in segments between the checkpoints the host saved."""
import argparse
import io
import json
import os
import sys
from typing import IO, Any

from sorvane_cli.commands import Command
from sorvane_cli.commands.opened import opened
from sorvane_cli.jobs import placement, run_jobs
from sorvane_cli.options import CONFIG_HELP, add_config_flags, add_executor_flags, add_show_flag
from sorvane_cli.replay.checkpoints import (
    Segments,
    describe_segment,
    list_checkpoints,
    locate,
    plan_segments,
    settle_configuration,
    verify_segment,
)
from sorvane_cli.replay.replayer import replay_log
from sorvane_cli.report.text import configuration_note, findings_text, to_json
from sorvane_cli.status import Exit, UsageError, replay_status, table


def add_parser(sub: Any, command: Command) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = sub.add_parser(
        command.name, help=command.summary,
        description="Replay the log through a fresh state and check that every decision record "
                    "comes out bit for bit and every resolution is consistent with its decision.",
        epilog=CONFIG_HELP + "\n\n" + table(), formatter_class=argparse.RawDescriptionHelpFormatter)
    add_config_flags(parser, "the state's horizon (plays no part in verifying)")
    parser.add_argument("--json", action="store_true", help="the summary as JSON")
    add_show_flag(parser)
    parser.add_argument("--checkpoints", metavar="DIR",
                        help="a directory of states the host serialized while it wrote the log: the log is "
                             "verified in segments between them, side by side")
    add_executor_flags(parser)
    return parser


def run(args: argparse.Namespace, stdout: IO[str]) -> int:
    with opened(args) as log:
        # --workers and --cluster place the segments of --checkpoints.
        if args.checkpoints is None and (args.workers is not None or args.cluster is not None):
            raise UsageError("--workers and --cluster go with --checkpoints: a log is verified in one pass without")
        if args.checkpoints is not None:
            return run_checkpoint_verify(args, log.config, log.progress, stdout, path=log.path)
        return run_verify(args, log.config, log.progress, stdout, source=log.source)


def run_verify(args, config, progress, out=None, source=None, replayer=None):
    """`replayer`, when given, is the log already replayed (verify --checkpoints)."""
    out = out if out is not None else sys.stdout
    if replayer is None:
        replayer = replay_log(source if source is not None else args.log, config, keep=args.show,
                              progress=progress, max_line_bytes=getattr(args, "max_line_bytes", None))
    status = replay_status(replayer.findings)
    summary = replayer.summary()
    if args.json:
        report = {"log": args.log, "verified": status == Exit.OK}
        report.update(summary)
        report["configuration"] = replayer.configuration()
        report["problems"] = replayer.findings.total
        report["mismatches"] = dict(replayer.findings.counts)
        report["first"] = [f.as_dict() for f in replayer.findings.first]
        out.write(to_json(report) + "\n")
        return status
    lines = [f"{args.log}: {summary['lines']} lines, {summary['decisions']} decisions, "
             f"{summary['resolutions']} resolutions, {summary['pending']} pending at the end"]
    if replayer.steered:
        lines.append("decisions the built-in policy does not reproduce were replayed with the logged choices")
    lines += findings_text(replayer.findings)
    if status != Exit.OK:
        lines += configuration_note(config, replayer.findings)
    if status == Exit.OK:
        lines.append("verified: every record and resolution is reproduced")
    elif status == Exit.HOST_POLICY:
        lines.append("not verified: the host's own score/explore made some decisions; the rest is reproduced")
    else:
        lines.append("NOT VERIFIED")
    out.write("\n".join(lines) + "\n")
    return status


def run_checkpoint_verify(args, config, progress, out=None, path=None):
    """`path` is where the log can be read again (standard input is spooled
    to a file first)."""
    out = out if out is not None else sys.stdout
    try:
        where = placement(args)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if args.log == "-" and args.cluster is not None:
        raise UsageError("--cluster needs the log in a file its workers can open, not standard input")
    path = os.path.abspath(path if path is not None else args.log)
    checkpoints = list_checkpoints(args.checkpoints)
    config = settle_configuration(checkpoints, config)
    base = (config.start["decision_count"], config.start["model_version"]) if config.start else (0, 0)
    with progress("locating checkpoints") as bar:
        total_lines = locate(path, checkpoints, base, args.max_line_bytes)
        bar.update(bar.total)
    state_path = os.path.abspath(args.from_state) if config.state_text is not None else None
    ordered, jobs = plan_segments(path, checkpoints, total_lines, config, state_path, args.show,
                                  args.max_line_bytes)
    with progress(f"verifying {len(jobs)} segments") as bar:
        results = run_jobs(verify_segment, jobs, *where, describe_segment,
                           lambda done: bar.update(done * bar.total // len(jobs)))
    for result in results:
        if "checkpoint" in result or "usage" in result:
            raise UsageError(result.get("checkpoint") or result["usage"])
    merged = Segments(results, args.show, config)
    placed = [{"file": ck.name, "line": ck.lines, "decisions": ck.fields["decision_count"],
               "resolutions": ck.fields["model_version"]} for ck in ordered]
    text = io.StringIO()
    status = run_verify(args, config, progress, text, replayer=merged)
    if args.json:
        report = json.loads(text.getvalue())
        report["checkpoints"] = placed
        out.write(to_json(report) + "\n")
    else:
        out.write(f"{len(ordered)} checkpoints in {args.checkpoints}: the log replayed in {len(jobs)} segments, "
                  "each from its checkpoint and checked to end in the next one's state\n")
        out.write(text.getvalue())
    return status
