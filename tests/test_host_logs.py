"""Logs as real hosts leave them: a cut last line, a header written again on
a restart, the usual mix-ups of logs and states each reported as one cause,
files that are no log at all, and the Python reader's fast path agreeing
with the full parse."""
import json

import pytest

import sorvane
from sorvane_cli.log.lines import event_of, parse_in_full
from sorvane_cli.status import Exit
from logs import CONFIG, FLAGS, write_run


def _decision_line():
    state = sorvane.create(10, **CONFIG)
    record = sorvane.decide(state, {"a": 1}, [("x", {"p": 1.5}), ("y", {})], 0.0, "web")
    return sorvane.log_line(record)


def _fields(event):
    return type(event).__name__, getattr(event, "message", None), getattr(event, "record", None)


@pytest.mark.parametrize("kept", [
    # the kept record has every field but the features, its propensity first
    lambda r: {"propensity": r["propensity"], **{k: v for k, v in r.items() if k not in ("features", "propensity")}},
    # the kept record is whole: the features are its own, not the discarded one's
    lambda r: {"propensity": r["propensity"], **{k: v for k, v in r.items() if k != "propensity"}},
])
def test_the_fast_path_reads_a_duplicate_record_key_as_the_full_parse_does(kept):
    line = _decision_line()
    record = json.loads(line)["record"]
    again = json.dumps(kept(record), separators=(",", ":"))
    doubled = (line[:-1] + ',"record":' + again + "}").encode()
    fast, full = event_of(3, doubled), parse_in_full(3, doubled)
    assert _fields(fast) == _fields(full)
    if type(full).__name__ == "DecisionLine":
        assert fast.parsed_features() == full.parsed_features()
