"""`sorvane replay`: rebuild the state the log describes and write it."""
import argparse
import sys
from typing import IO, Any

import sorvane

from sorvane_cli.commands import Command
from sorvane_cli.commands.opened import opened
from sorvane_cli.options import CONFIG_HELP, add_config_flags, add_show_flag
from sorvane_cli.replay.replayer import replay_log
from sorvane_cli.report.files import check_output, write_text
from sorvane_cli.report.text import configuration_note, findings_text
from sorvane_cli.status import Exit, replay_status, table


def add_parser(sub: Any, command: Command) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = sub.add_parser(
        command.name, help=command.summary,
        description="Rebuild the state the log describes (the model after every resolution, the "
                    "pending decisions at the end) and write its serialize text.",
        epilog=CONFIG_HELP + "\n\n" + table(), formatter_class=argparse.RawDescriptionHelpFormatter)
    add_config_flags(parser, "the state's horizon (required unless the log's header gives it; "
                             "it is stored in the state written)")
    parser.add_argument("-o", "--output", required=True, metavar="STATE", help="where to write the state ('-': stdout)")
    add_show_flag(parser)
    parser.add_argument("--force", action="store_true",
                        help="write the state even when some lines cannot be replayed (they are skipped; "
                             "the exit status is still 1)")
    return parser


def run(args: argparse.Namespace, stdout: IO[str]) -> int:
    check_output(args.output, "-o")
    with opened(args, need_horizon=True) as log:
        return run_replay(args, log.config, log.progress, stdout, source=log.source)


def run_replay(args, config, progress, out=None, source=None):
    out = out if out is not None else sys.stdout
    # The report goes where the state does not.
    report = sys.stderr if args.output == "-" else out
    replayer = replay_log(source if source is not None else args.log, config, keep=args.show, progress=progress,
                          max_line_bytes=getattr(args, "max_line_bytes", None))
    status = replay_status(replayer.findings)
    if replayer.state is None or (status == Exit.PROBLEMS and not args.force):
        lines = findings_text(replayer.findings) + configuration_note(config, replayer.findings)
        lines.append(f"the log does not replay cleanly; {args.output} was not written "
                     "(`sorvane verify` lists every problem; --force writes what the readable lines give)")
        report.write("\n".join(lines) + "\n")
        return Exit.PROBLEMS
    if status == Exit.PROBLEMS:
        report.write("\n".join(findings_text(replayer.findings)) + "\n")
    text = sorvane.serialize(replayer.state)
    if args.output == "-":
        # No newline: the text is exactly what `serialize` returns.
        out.write(text)
        out.flush()
    else:
        write_text(args.output, text, "-o")
    if not args.quiet:
        summary = replayer.summary()
        note = (f"; {replayer.steered} decisions replayed with the host's logged choices" if replayer.steered else "")
        report.write(f"{args.log}: {summary['decisions']} decisions, {summary['resolutions']} resolutions, "
                     f"{summary['pending']} pending{note}; the state went to {args.output}\n")
    return Exit.PROBLEMS if status == Exit.PROBLEMS else Exit.OK
