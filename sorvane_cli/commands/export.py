"""`sorvane export`: the log as a table, one row per decision (or per
decision and candidate), for a data frame of one's own."""
import argparse
import sys
from typing import IO, Any

from sorvane_cli.commands import Command
from sorvane_cli.log.columns import read_columns
from sorvane_cli.log.source import MAX_LINE_BYTES, LogSource
from sorvane_cli.options import LOG_HELP, add_show_flag, positive
from sorvane_cli.report.files import check_output
from sorvane_cli.report.progress import Progress, wants_progress
from sorvane_cli.report.tables import table_format, write_table
from sorvane_cli.report.text import findings_text
from sorvane_cli.status import Exit, table

_DESCRIPTION = """Write the log as a table, one row per decision: decision_id, salt, t, chosen (the
position), chosen_id, propensity, candidates (how many), model_version, the resolution's
kind and reward (empty while pending), and one context.NAME column per context feature.
--with-candidates writes one row per (decision, candidate) instead, adding position,
candidate_id, is_chosen and one candidate.NAME column per candidate feature.

The format follows the name: FILE.parquet (needs pyarrow: pip install 'sorvane[export]'),
FILE.csv, or '-' for CSV on standard output. In Python,
sorvane_cli.bandit_feedback(LOG) gives the log as the dict off-policy
evaluation libraries take."""


def add_parser(sub: Any, command: Command) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = sub.add_parser(
        command.name, help=command.summary, description=_DESCRIPTION, epilog=table(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("log", metavar="LOG", help=LOG_HELP)
    parser.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the table: FILE.parquet, FILE.csv, or '-' (CSV on standard output)")
    parser.add_argument("--with-candidates", action="store_true",
                        help="one row per (decision, candidate), with the candidates' features")
    parser.add_argument("--force", action="store_true",
                        help="write the table even when some lines cannot be read (they are left out; the exit "
                             "status is still 1)")
    add_show_flag(parser)
    parser.add_argument("--max-line-bytes", type=positive, default=MAX_LINE_BYTES, metavar="N",
                        help=f"longer lines are refused unread, as a problem of their line ({MAX_LINE_BYTES:,})")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    return parser


def run(args: argparse.Namespace, stdout: IO[str]) -> int:
    table_format(args.output)
    check_output(args.output, "-o")
    source = LogSource(args.log, args.max_line_bytes)
    with source, Progress("exporting", source.size(), wants_progress(args.quiet)) as bar:
        log = read_columns(source, args.with_candidates, bar.update, keep=args.show)
    # The table itself may be on standard output: the report goes beside it.
    report = sys.stderr if args.output == "-" else stdout
    problems = log.findings.total
    if problems and not args.force:
        report.write("\n".join(findings_text(log.findings)) + "\nnothing written (--force writes the rest)\n")
        return Exit.PROBLEMS
    write_table(args.output, log.columns, log.kinds, stdout)
    lines = [f"{args.log}: {log.decisions:,} decisions, {log.resolved:,} resolved, "
             f"{log.decisions - log.resolved:,} pending; {log.rows:,} rows written to {args.output}"]
    if log.unmatched:
        lines.append(f"{log.unmatched:,} resolutions of decisions before the log are left out")
    if problems:
        lines += findings_text(log.findings)
    report.write("\n".join(lines) + "\n")
    return Exit.PROBLEMS if problems else Exit.OK
