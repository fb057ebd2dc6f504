"""`sorvane export`: the log as a table, one row per decision (or per
decision and candidate), for a data frame of one's own."""
import argparse
import sys

from sorvane_cli.export_columns import read_columns
from sorvane_cli.logsource import MAX_LINE_BYTES, LogSource
from sorvane_cli.output import findings_text
from sorvane_cli.output_files import check_output
from sorvane_cli.progress import Progress, wants_progress
from sorvane_cli.status import Exit, table
from sorvane_cli.table_files import table_format, write_table

SUMMARY = "the log as a table (.parquet or .csv), one row per decision"

_DESCRIPTION = """Write the log as a table, one row per decision: decision_id, salt, t, chosen (the
position), chosen_id, propensity, candidates (how many), model_version, the resolution's
kind and reward (empty while pending), and one context.NAME column per context feature.
--with-candidates writes one row per (decision, candidate) instead, adding position,
candidate_id, is_chosen and one candidate.NAME column per candidate feature.

The format follows the name: FILE.parquet (needs pyarrow: pip install 'sorvane[export]'),
FILE.csv, or '-' for CSV on standard output. In Python,
sorvane_cli.bandit_feedback(LOG) gives the log as the dict off-policy
evaluation libraries take."""


def add_parser(sub):
    parser = sub.add_parser("export", help=SUMMARY, description=_DESCRIPTION, epilog=table(),
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("log", metavar="LOG",
                        help="the experience log; '-' reads standard input; gzip, bzip2 and xz logs are read as "
                             "they are")
    parser.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the table: FILE.parquet, FILE.csv, or '-' (CSV on standard output)")
    parser.add_argument("--with-candidates", action="store_true",
                        help="one row per (decision, candidate), with the candidates' features")
    parser.add_argument("--force", action="store_true",
                        help="write the table even when some lines cannot be read (they are left out; the exit "
                             "status is still 1)")
    parser.add_argument("--show", type=_non_negative, default=10, metavar="N", help="problems shown in full (10)")
    parser.add_argument("--max-line-bytes", type=_positive, default=MAX_LINE_BYTES, metavar="N",
                        help=f"longer lines are refused unread, as a problem of their line ({MAX_LINE_BYTES:,})")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    return parser


def _non_negative(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def run(args, stdout):
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
