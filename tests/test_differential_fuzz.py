"""The native log reader against the Python reader: read_line's values for
lines chosen to split them, and a bounded run of the differential fuzzer
(fuzz/differential.py) over mutated seed logs."""
import math
import os
import sys

import pytest

import sorvane

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz"))

import differential  # noqa: E402
from conftest import SANITIZED  # noqa: E402

from sorvane_cli import _native  # noqa: E402

# Seconds the fuzzer runs in the suite; FUZZ_SECONDS sets another bound.
FUZZ_SECONDS = float(os.environ.get("FUZZ_SECONDS", "20" if not SANITIZED else "10"))

_RESOLUTION = b'{"event":"resolution","decision_id":"s:0","kind":"rewarded","reward":%s}'


def _decision_line(context):
    state = sorvane.create(6, 10.0)
    record = sorvane.decide(state, context, [("a", {"x": 1.0}), ("b", {})], 0.0, "s")
    return sorvane.log_line(record).encode()


@pytest.mark.parametrize("reward, read", [
    (b"NaN", math.nan), (b"-Infinity", -math.inf), (b"2", 2.0), (b'"\\u0000N"', None), (b'"\\u0000I"', None),
    (b'"\\u0000-"', None), (b"null", None), (b"1e400", None),
])
def test_a_reward_is_read_as_a_number_only_when_it_is_one(reward, read):
    got = _native.read_line(_RESOLUTION % reward)
    if read is None:
        assert got[0] == "declined"
    else:
        assert got[:3] == ("resolution", "s:0", "rewarded") and differential.same(got[3], read)
    assert differential.compare_line(_RESOLUTION % reward) is None


@pytest.mark.parametrize("context", [
    {"m": "\x00N", "\x00I": "\x00-"}, {"n": math.nan, "i": -math.inf, "t": True, "z": None, "big": 2**64 - 1},
])
def test_a_decision_line_is_read_with_the_values_the_python_reader_gives(context):
    line = _decision_line(context)
    got = _native.read_line(line)
    assert got[0] == "decision"
    assert differential.compare_line(line) is None


@pytest.mark.parametrize("edit", [
    lambda line: line.replace(b',"propensity":', b',"salt":"x","propensity":', 1),
    lambda line: line.replace(b',"propensity":', b',"t":1e-400,"propensity":', 1),
])
def test_a_line_the_python_reader_takes_apart_otherwise_is_declined(edit):
    line = edit(_decision_line({"a": 1}))
    assert _native.read_line(line)[0] == "declined"


def test_the_comparison_catches_a_value_read_otherwise(monkeypatch):
    # The fuzzer's own check: a native reader that read the reward wrong is caught.
    line = _RESOLUTION % b"2.5"
    real = _native.read_line
    monkeypatch.setattr(differential._native, "read_line",
                        lambda data: real(data)[:3] + (3.5,) if data == line else real(data))
    assert "3.5" in differential.compare_line(line)


def test_mutated_logs_are_read_alike_by_both_readers():
    reported = []
    counts, divergences = differential.fuzz(seconds=FUZZ_SECONDS, seed=int(os.environ.get("FUZZ_SEED", "0")),
                                            verify_every=40, report=reported.append)
    print(f"differential fuzzing: {counts}")
    assert not divergences, "\n".join(reported[:5])
    assert counts["native_read"] > 1000 and counts["native_declined"] > 100 and counts["verified_logs"] > 10
