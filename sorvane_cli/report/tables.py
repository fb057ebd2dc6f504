"""Writing columns as a table file: Parquet through pyarrow (the `export`
extra), CSV without it. A file is written beside its name and moved into
place, so a failure leaves no half-written table under the name."""
import csv
import json
import os
import sys

from sorvane_cli.status import OutputError, UsageError

PARQUET = ".parquet"
CSV = ".csv"


def table_format(path):
    """"parquet" or "csv" by the output's name ('-': CSV on standard output);
    refuses any other name, and Parquet without pyarrow."""
    if path == "-" or path.lower().endswith(CSV):
        return "csv"
    if path.lower().endswith(PARQUET):
        try:
            import pyarrow
            import pyarrow.parquet  # noqa: F401
        except ImportError:
            raise UsageError(f"-o {path}: Parquet needs pyarrow: pip install 'sorvane[export]' "
                             f"(or write {path[: -len(PARQUET)]}.csv)") from None
        return "parquet"
    raise UsageError(f"-o {path}: the name must end in {PARQUET} or {CSV} ('-' writes CSV to standard output)")


def write_table(path, columns, kinds, stdout=None):
    """Writes the columns (name -> list) to `path` in the format its name gives."""
    if table_format(path) == "parquet":
        _move_into_place(path, lambda tmp: _write_parquet(tmp, columns, kinds))
    elif path == "-":
        _write_csv(stdout if stdout is not None else sys.stdout, columns)
    else:
        def write(tmp):
            with open(tmp, "w", encoding="utf-8", newline="") as f:
                _write_csv(f, columns)
        _move_into_place(path, write)


def _move_into_place(path, write):
    tmp = path + ".tmp"
    try:
        write(tmp)
        os.replace(tmp, path)
    except OSError as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise OutputError(f"cannot write -o {path}: {exc.strerror or exc}") from None
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _arrow_column(values, kind):
    import pyarrow as pa

    types = {"bool": pa.bool_(), "int": pa.int64(), "float": pa.float64(), "str": pa.string()}
    try:
        return pa.array(values, type=types[kind])
    except (OverflowError, pa.ArrowInvalid):
        # Integers past 64 bits: kept exact, as their decimal text.
        return pa.array([None if v is None else json.dumps(v) for v in values], type=pa.string())


def _write_parquet(path, columns, kinds):
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.table({name: _arrow_column(values, kinds[name]) for name, values in columns.items()})
    pq.write_table(table, path)


def _write_csv(stream, columns):
    """A header row, then one row per entry; an empty value is an empty
    field, floats are written in their shortest exact form."""
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(columns)
    writer.writerows(zip(*columns.values()))
