"""Differential fuzzing of the toolkit's two log readers: the native reader
(sorvane_cli._native.read_line) against the Python reader (log.lines.event_of),
line by line, on mutations of the seed logs of make_log_seeds.py; and now
and then the whole mutated log verified through the native path and through
the Python path alone, whose reports must be identical.

What must hold for every line: a line the native reader takes, the Python
reader takes too, as the same kind of event with the same values, read as
the engine reads them (integers as their nearest double, true and false as
1.0 and 0.0, float bits equal, NaN included). The native reader may decline
any line; the Python reader then judges it.

    PYTHONPATH=build/<dir>:. python3 fuzz/differential.py [--seconds S] [--runs N] [--seed K]

It prints the executions and every divergence, with the line that showed
it, and exits 1 when there was one.
"""
import argparse
import contextlib
import io
import os
import random
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from make_log_seeds import seeds  # noqa: E402

from sorvane_cli import _native  # noqa: E402
from sorvane_cli.__main__ import main as cli_main  # noqa: E402
from sorvane_cli.log.lines import BadLine, DecisionLine, ResolutionLine, event_of, features_problem  # noqa: E402
from sorvane_cli.replay import native as native_replay  # noqa: E402

# The seeds' configuration (make_log_seeds.py).
VERIFY_FLAGS = ["--horizon", "1000.0", "--default-reward", "0.0", "--epsilon", "0.1", "-q"]

# Values a mutation puts in a value's place: the special tokens, their
# marks as texts, numbers at the edges of what each reader takes, and the
# other JSON types.
TOKENS = [b"NaN", b"Infinity", b"-Infinity", b"-NaN", b"nan", b'"\\u0000N"', b'"\\u0000I"', b'"\\u0000-"',
          b'"\\u0000"', b'"\\u0000NN"', b"1e400", b"-1e400", b"1e-400", b"-0", b"-0.0", b"0", b"1", b"-1",
          b"4294967295", b"4294967296", b"9007199254740993", b"18446744073709551615", b"18446744073709551616",
          b"-9223372036854775808", b"1.5", b"1E5", b"true", b"false", b"null", b"[]", b"{}", b"[1]", b'"x"',
          b'""', b'"\\ud800"', b'"\\udc00\\ud800"', b'"\xc3\xa9"', b'"\xff"', b'"a\\"b"', b"00", b"1.", b".5"]
KEYS = [b'"event"', b'"bits"', b'"context"', b'"candidates"', b'"record"', b'"decision_id"', b'"kind"',
        b'"reward"', b'"t"', b'"chosen"', b'"features"', b'"propensity"', b'"salt"', b'"\\u0000N"', b'"x"']
STRUCTURE = b'{}[],:"\\ \t\r'


def float_bits(x):
    return struct.pack("<d", x)


def engine_value(v):
    """A feature value as the engine gets it from the Python reader, or a
    reason it cannot be one."""
    if v is None or type(v) is str:
        return v
    if type(v) is bool:
        return 1.0 if v else 0.0
    if type(v) in (int, float):
        try:
            return float(v)
        except OverflowError:
            return ValueError("too large for a float")
    return ValueError("not a feature value")


def same(a, b):
    """Equal, with floats compared by their bits."""
    if type(a) is float and type(b) is float:
        return float_bits(a) == float_bits(b)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def python_features(obj):
    """A feature dict as (name, value) pairs, or None when the engine would
    not take it."""
    if type(obj) is not dict:
        return None
    out = []
    for name, value in obj.items():
        v = engine_value(value)
        if isinstance(v, ValueError):
            return None
        out.append((name, v))
    return out


def python_view(event):
    """The Python reader's event in the shape read_line gives, or a text
    saying why the native reader should have declined it."""
    if isinstance(event, BadLine):
        return f"the Python reader refuses it ({event.kind}: {event.message})"
    if isinstance(event, ResolutionLine):
        if event.reward is None:
            return "a null reward"
        return ("resolution", event.decision_id, event.kind, float(event.reward))
    if not isinstance(event, DecisionLine):
        return f"the Python reader reads a {type(event).__name__}"
    context = python_features(event.context)
    if context is None:
        return "a context the engine does not take"
    candidates = []
    for pair in event.candidates:
        if type(pair) is not list or len(pair) != 2 or type(pair[0]) is not str:
            return "a candidate that is not an [id, features] pair"
        features = python_features(pair[1])
        if features is None:
            return "candidate features the engine does not take"
        candidates.append((pair[0], features))
    record = event.record
    try:
        features = event.parsed_features()
    except ValueError as exc:
        return f"a feature list the Python reader cannot read ({exc})"
    problem = features_problem(features)
    if problem is not None:
        return problem
    pairs = [(index, float(value)) for index, value in features]
    return ("decision", event.bits, context, candidates,
            (record["decision_id"], float(record["t"]), record["candidate_hash"], record["chosen"], pairs,
             float(record["propensity"]), record["model_version"], record["salt"]))


def compare_line(line):
    """None when the readers agree on one line (bytes, no newline), else
    what differs."""
    native = _native.read_line(line)
    if native[0] == "declined":
        return None
    try:
        event = event_of(1, line)
    except Exception as exc:  # noqa: BLE001 - the Python reader must not raise either
        return f"the Python reader raised {exc!r}; the native reader read {native!r}"
    python = python_view(event)
    if isinstance(python, str):
        return f"the native reader read {native!r}; {python}"
    if not same(native, python):
        return f"the native reader read {native!r}; the Python reader {python!r}"
    return None


def mutate(rng, line, others):
    """One line changed in one to four random ways."""
    data = bytearray(line)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(9)
        n = len(data)
        at = rng.randrange(n + 1) if n else 0
        if op == 0 and n:  # a value's place: after a colon, comma or bracket
            places = [i + 1 for i, c in enumerate(data) if c in b":,["]
            if places:
                start = rng.choice(places)
                end = start
                while end < n and data[end] not in b",}]":
                    end += 1 if data[end] != ord('"') else 1 + max(0, data.find(b'"', end + 1) - end)
                data[start:end] = rng.choice(TOKENS)
        elif op == 1 and n:
            data[rng.randrange(n)] = rng.randrange(256)
        elif op == 2:
            data[at:at] = bytes([rng.choice(STRUCTURE)])
        elif op == 3 and n:
            del data[at : at + rng.randint(1, 8)]
        elif op == 4:  # a duplicate key
            data[at:at] = rng.choice(KEYS) + b":" + rng.choice(TOKENS) + b","
        elif op == 5:
            data[at:at] = rng.choice(TOKENS)
        elif op == 6 and n:  # a piece of the line again
            start = rng.randrange(n)
            data[at:at] = data[start : start + rng.randint(1, 32)]
        elif op == 7 and others:  # a piece of another line
            other = rng.choice(others)
            start = rng.randrange(len(other) or 1)
            data[at:at] = other[start : start + rng.randint(1, 64)]
        elif op == 8 and n:  # a text's character as an escape
            quotes = [i for i, c in enumerate(data) if c == ord('"')]
            if quotes:
                q = rng.choice(quotes) + 1
                if q < n and data[q] not in b'"\\':
                    data[q : q + 1] = b"\\u%04x" % data[q]
    return bytes(data)


def verify_report(path, native):
    """verify --json's exit status and output through one path."""
    saved = native_replay._native
    if not native:
        native_replay._native = None
    out, err = io.StringIO(), io.StringIO()
    try:
        with contextlib.redirect_stderr(err):
            status = cli_main(["verify", path, "--json", "--show", "1000"] + VERIFY_FLAGS, stdout=out)
    finally:
        native_replay._native = saved
    return status, out.getvalue(), err.getvalue()


def fuzz(seconds=None, runs=None, seed=0, verify_every=50, report=print):
    """Runs until `seconds` or `runs` mutated logs; returns the counts and
    the divergences found."""
    rng = random.Random(seed)
    logs = [text.encode("utf-8") for text in seeds()]
    lines = [line for log in logs for line in log.split(b"\n") if line]
    counts = {"logs": 0, "lines": 0, "native_read": 0, "native_declined": 0, "verified_logs": 0}
    divergences = []
    deadline = None if seconds is None else time.monotonic() + seconds
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "mutated.log")
        while (runs is None or counts["logs"] < runs) and (deadline is None or time.monotonic() < deadline):
            log = rng.choice(logs).split(b"\n")
            for _ in range(rng.randint(1, 3)):
                k = rng.randrange(len(log))
                log[k] = mutate(rng, log[k], lines)
            counts["logs"] += 1
            for line in log:
                if not line:
                    continue
                counts["lines"] += 1
                native_took = _native.read_line(line)[0] != "declined"
                counts["native_read" if native_took else "native_declined"] += 1
                problem = compare_line(line) if native_took else None
                if problem is not None:
                    divergences.append((line, problem))
                    report(f"DIVERGENCE on {line!r}:\n  {problem}")
            if verify_every and counts["logs"] % verify_every == 0:
                with open(path, "wb") as f:
                    f.write(b"\n".join(log))
                counts["verified_logs"] += 1
                native, python = verify_report(path, True), verify_report(path, False)
                if native != python:
                    divergences.append((b"\n".join(log), "verify reports differ"))
                    report(f"DIVERGENCE in verify on a log:\n  native {native!r}\n  python {python!r}")
    return counts, divergences


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--runs", type=int, default=None)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--verify-every", type=int, default=50, help="verify one mutated log in this many")
    args = parser.parse_args(argv)
    if args.seconds is None and args.runs is None:
        args.seconds = 60.0
    start = time.monotonic()
    counts, divergences = fuzz(args.seconds, args.runs, args.seed, args.verify_every)
    elapsed = time.monotonic() - start
    print(f"{counts['logs']} mutated logs, {counts['lines']} lines in {elapsed:.1f} s "
          f"({counts['lines'] / max(elapsed, 1e-9):.0f} lines/s): the native reader read "
          f"{counts['native_read']} and declined {counts['native_declined']}; "
          f"{counts['verified_logs']} logs verified through both paths; {len(divergences)} divergences")
    return 1 if divergences else 0


if __name__ == "__main__":
    sys.exit(main())
