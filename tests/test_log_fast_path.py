"""The reader's fast path for decision lines reads every line as the full parse does."""
import json

import pytest
from logs import CONFIG, FLAGS

import sorvane
from sorvane_cli.__main__ import main
from sorvane_cli.log.lines import DecisionLine, event_of, parse_in_full
from sorvane_cli.replay import native as native_replay

# Edits of a decision line that leave it valid JSON with a key (or more)
# between the record's feature list and its propensity.
BETWEEN = {
    "the salt again": lambda line: line.replace(',"propensity":', ',"salt":"s","propensity":', 1),
    "an extra key": lambda line: line.replace(',"propensity":', ',"note":"x","propensity":', 1),
    "a time too small for a float": lambda line: line.replace(',"propensity":', ',"t":1e-400,"propensity":', 1),
    "an object": lambda line: line.replace(',"propensity":', ',"o":{"k":[1,2]},"propensity":', 1),
}


def _decision_line():
    state = sorvane.create(10, **CONFIG)
    record = sorvane.decide(state, {"n": 1, "u": "v"}, [("a", {"x": 1.0}), ("b", {"x": 2.0})], 0.0, "s")
    return state, record, sorvane.log_line(record)


def _read(event):
    assert type(event) is DecisionLine
    return event.bits, event.context, event.candidates, event.record, event.parsed_features()


@pytest.mark.parametrize("edit", sorted(BETWEEN))
def test_a_key_between_features_and_propensity_reads_as_the_full_parse_reads_it(edit):
    line = (BETWEEN[edit](_decision_line()[2]) + "\n").encode()
    assert _read(event_of(1, line)) == _read(parse_in_full(1, line))


def _as_read(event):
    if type(event) is DecisionLine:
        return _read(event)
    return type(event), event.kind, event.message


def test_a_record_closed_before_its_propensity_reads_as_the_full_parse_reads_it():
    line = (_decision_line()[2].replace(',"propensity":', '},"propensity":', 1)[:-1] + "\n").encode()
    assert _as_read(event_of(1, line)) == _as_read(parse_in_full(1, line))


@pytest.mark.parametrize("edit", [
    lambda line: line.replace('"features":[[', '"features":[["x",', 1),
    lambda line: line.replace('"features":[[', '"features":[{"k":1},[', 1),
])
def test_a_damaged_list_of_one_value_still_takes_the_fast_path(edit):
    # Its decision is replayed and only its features reported.
    line = (edit(_decision_line()[2]) + "\n").encode()
    event = event_of(1, line)
    assert type(event) is DecisionLine and event.line is not None
    assert event.parsed_features() == json.loads(line)["record"]["features"]


def _verify(path, capsys):
    status = main(["verify", str(path), "--json", *FLAGS])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("edit", ["the salt again", "an extra key"])
def test_verify_proves_such_a_line_on_either_path(edit, tmp_path, capsys, monkeypatch):
    state, record, line = _decision_line()
    resolution = sorvane.log_line(sorvane.learn(state, record.decision_id, 1.0, 1.0))
    path = tmp_path / "between.log"
    path.write_text(BETWEEN[edit](line) + "\n" + resolution + "\n", encoding="utf-8")
    native = _verify(path, capsys)
    monkeypatch.setattr(native_replay, "_native", None)
    python = _verify(path, capsys)
    assert native == python and python[0] == 0
