"""`sorvane export`: the log as a table, one row per decision."""
SUMMARY = "the log as a table (.parquet or .csv), one row per decision"


def add_parser(sub):
    return sub.add_parser("export", help=SUMMARY)


def run(args, stdout):
    return 0
