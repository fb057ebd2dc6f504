"""The toolkit's native replay gives exactly what the Python replay gives.

Each log here is verified and replayed twice, through the native path (which
proves a clean log itself and hands any other to the Python replay) and
through the Python path alone; the verify report, the replay's messages and
the state it writes must be identical. Logs the native path must prove
itself are checked to take it, so that a decline cannot hide a fault.
"""
import json
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import sorvane
from sorvane_cli.replay import native as native_replay
from sorvane_cli.__main__ import main
from sorvane_cli.log.config import load_config
from logs import (CONFIG, DECISION_FLIPS, FLAGS, RESOLUTION_FLIPS, flip_line, lines_of, nan_run,
                             softmax_explore, write_run)

from conftest import SANITIZED


def test_the_native_module_is_there_and_from_the_build_under_test():
    assert native_replay.available()
    if SANITIZED:
        # The sanitizer build's own extension, not an installed one.
        assert "site-packages" not in native_replay._native.__file__


def _outcome(argv, capsys):
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err


def _both_paths(path, tmp_path, capsys, monkeypatch, flags=FLAGS):
    """verify (text and JSON) and replay through each path; asserts they agree."""
    results = []
    for native in (True, False):
        with monkeypatch.context() as m:
            if not native:
                m.setattr(native_replay, "_native", None)
            state = tmp_path / "state.hex"
            if state.exists():
                state.unlink()
            got = [_outcome(["verify", str(path), "--show", "1000"] + flags, capsys),
                   _outcome(["verify", str(path), "--json", "--show", "1000"] + flags, capsys),
                   _outcome(["replay", str(path), "-o", str(state), "--force"] + flags, capsys)]
            got.append(state.read_text() if state.exists() else None)
            results.append(got)
    native, python = results
    assert native == python
    return python


def _proved_natively(path, flags=FLAGS):
    args = dict(zip(flags[::2], flags[1::2]))
    config = load_config(float(args["--horizon"]), float(args["--default-reward"]), float(args["--epsilon"]),
                         float(args["--forgetfulness"]), None)
    return native_replay.replay_natively(str(path), config) is not None


@pytest.fixture
def run_log(tmp_path):
    path = tmp_path / "run.log"
    state = write_run(path)
    return path, state


def test_a_clean_log_is_proved_natively_and_reported_alike(run_log, tmp_path, capsys, monkeypatch):
    path, state = run_log
    assert _proved_natively(path)
    python = _both_paths(path, tmp_path, capsys, monkeypatch)
    assert python[0][0] == 0
    assert python[3] == sorvane.serialize(state)


@pytest.mark.parametrize("where", [0, -1])
@pytest.mark.parametrize("field", sorted(DECISION_FLIPS))
def test_every_single_field_flip_of_a_decision_is_reported_alike(run_log, tmp_path, field, where, capsys,
                                                                 monkeypatch):
    path, _ = run_log
    flip_line(path, lines_of(path, "decision")[where], DECISION_FLIPS[field])
    assert not _proved_natively(path)
    assert _both_paths(path, tmp_path, capsys, monkeypatch)[0][0] != 0


@pytest.mark.parametrize("where", [0, -1])
@pytest.mark.parametrize("field", sorted(RESOLUTION_FLIPS))
def test_every_single_field_flip_of_a_resolution_is_reported_alike(run_log, tmp_path, field, where, capsys,
                                                                   monkeypatch):
    path, _ = run_log
    kind, change = RESOLUTION_FLIPS[field]
    lines = path.read_text().splitlines()
    resolutions = [k for k in lines_of(path, "resolution") if kind in (None, json.loads(lines[k])["kind"])]
    flip_line(path, resolutions[where], change)
    assert _both_paths(path, tmp_path, capsys, monkeypatch)[0][0] != 0


def test_host_decided_records_are_reported_alike(tmp_path, capsys, monkeypatch):
    path = tmp_path / "host.log"
    write_run(path, explore=softmax_explore)
    assert _both_paths(path, tmp_path, capsys, monkeypatch)[0][0] == 3


def test_nan_features_of_either_sign_are_replayed_alike(tmp_path, capsys, monkeypatch):
    path = tmp_path / "nan.log"
    state = nan_run(path)
    python = _both_paths(path, tmp_path, capsys, monkeypatch)
    assert python[0][0] == 0 and python[3] == sorvane.serialize(state)


def _one_decision_log(path, context, candidates, t=0.0, edit=lambda line: line, reward=1.0):
    """Two decisions and their resolutions, the first line's text edited."""
    state = sorvane.create(10, **CONFIG)
    lines = []
    for i in range(2):
        record = sorvane.decide(state, context, candidates, t + i, "s")
        lines.append(sorvane.log_line(record))
        lines.append(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, t + i)))
    lines[0] = edit(lines[0])
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return state


_PAIR = [("a", {"x": 1.0}), ("b", {"x": 2.0, "tag": "z"})]

# Lines whose values json.loads reads as the host passed them: the native path
# must prove them itself, with the same reading.
PROVED = {
    "positive NaN and the infinities": ({"n": math.nan, "i": math.inf, "m": -math.inf}, _PAIR, 0.0, None),
    "a NaN time": ({"n": 1}, _PAIR, math.nan, None),
    "integers past 2**53": ({"a": 2**53 + 1, "b": 2**63 + 1, "c": 2**64 - 1, "d": -(2**63)}, _PAIR, 0.0, None),
    "booleans and null": ({"t": True, "f": False, "z": None}, [("a", {"b": True})], 0.0, None),
    "escapes and text outside ASCII": ({"é\"\\\t": "😀\u2028\x7f\x00", "NaN": "Infinity"},
                                       [("\u00e9", {"Infinity": "NaN"})], 0.0, None),
    "a duplicate key keeps its last value": ({"city": "Lima"}, _PAIR, 0.0,
                                             lambda line: line.replace('"city":"Lima"', '"city":"Oslo","city":"Lima"')),
    "an integer written as -0": ({"x": 0}, _PAIR, 0.0, lambda line: line.replace('"x":0', '"x":-0', 1)),
    "a reformatted line": ({"n": 1.5}, _PAIR, 0.0, lambda line: json.dumps(json.loads(line), indent=None)),
    "a duplicate record keeps its last value": ({"n": 1}, _PAIR, 0.0,
                                                lambda line: line.replace(',"record":{', ',"record":{"x":1},"record":{', 1)),
    "a spaced NaN": ({"n": math.nan}, _PAIR, 0.0, lambda line: line.replace(':NaN', ': NaN ', 1)),
    "a carriage return": ({"n": 1}, _PAIR, 0.0, lambda line: line + "\r"),
    "texts of a NUL and one letter": ({"a": "\x00N", "b": "\x00I", "c": "\x00-", "\x00N": 1.0},
                                      [("\x00N", {"x": "\x00-"}), ("\x00I", {"x": "\x00N"})], 0.0, None),
}


@pytest.mark.parametrize("case", sorted(PROVED))
def test_lines_json_reads_as_the_host_wrote_them_are_proved_natively(case, tmp_path, capsys, monkeypatch):
    context, candidates, t, edit = PROVED[case]
    path = tmp_path / "edge.log"
    state = _one_decision_log(path, context, candidates, t, edit or (lambda line: line))
    assert _proved_natively(path)
    python = _both_paths(path, tmp_path, capsys, monkeypatch)
    assert python[0][0] == 0 and python[3] == sorvane.serialize(state)


# Lines the native path must leave to the Python replay, or read alike.
HOSTILE = {
    "an empty line": lambda line: "",
    "not JSON": lambda line: line[:-7],
    "a byte-order mark": lambda line: "\ufeff" + line,
    "a NaN key": lambda line: line.replace('{"x":1.0}', '{NaN:1.0}', 1),
    "an Infinity in a string's place": lambda line: line.replace('"s:0"', "Infinity", 1),
    "-NaN": lambda line: line.replace('"x":1.0', '"x":-NaN', 1),
    "deep nesting in an extra key": lambda line: line[:-1] + ',"deep":' + "[" * 3000 + "]" * 3000 + "}",
    "nesting just past the fast reader's depth": lambda line: line[:-1] + ',"deep":' + "[" * 40 + "]" * 40 + "}",
    "a lone surrogate": lambda line: line.replace('"a"', '"\\ud800"', 1),
    "a lone surrogate in an extra key": lambda line: line[:-1] + ',"extra":"\\udc00"}',
    "an integer past 64 bits": lambda line: line.replace('"x":1.0', '"x":18446744073709551617', 1),
    "an integer past the float range": lambda line: line.replace('"x":1.0', '"x":' + "9" * 400, 1),
    "a float past the float range": lambda line: line.replace('"x":1.0', '"x":1e400', 1),
    "an array in the context": lambda line: line.replace('"context":{', '"context":{"l":[1],', 1),
    "an object as a candidate": lambda line: line.replace('["a",{"x":1.0}]', '{"a":1}', 1),
    "a candidate of three": lambda line: line.replace('["a",{"x":1.0}]', '["a",{"x":1.0},1]', 1),
    "no candidates": lambda line: line.replace('"candidates":[["a",{"x":1.0}],', '"candidates":[', 1)
    .replace(',["b",{"x":2.0,"tag":"z"}]', "", 1),
    "bits as a float": lambda line: line.replace('"bits":10', '"bits":10.0', 1),
    "bits too large": lambda line: line.replace('"bits":10', '"bits":4294967306', 1),
    "a negative chosen": lambda line: line.replace('"chosen":', '"chosen":-', 1),
    "a boolean propensity": lambda line: line.replace('"propensity":', '"propensity":true,"p":', 1),
    "an escape for NUL beside a NaN": lambda line: line.replace('"x":1.0', '"x":NaN,"y":"\\u0000N"', 1),
    "a text that looks like a special number": lambda line: line.replace('"x":1.0', '"x":"\\u0000N"', 1),
    "a decision line with no record": lambda line: line[: line.index(',"record"')] + "}",
    "invalid UTF-8": lambda line: line.replace('"a"', '"\udcff"', 1),
    # The Python reader takes the text between these two keys for the list.
    "a duplicate key between the record's features and propensity":
        lambda line: line.replace(',"propensity":', ',"salt":"x","propensity":', 1),
    "a duplicate time between the record's features and propensity":
        lambda line: line.replace(',"propensity":', ',"t":1e-400,"propensity":', 1),
    "a duplicate record after the record": lambda line: line[:-1] + ',"record":{"features":[],"propensity":1}}',
}


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_lines_are_reported_alike(case, tmp_path, capsys, monkeypatch):
    path = tmp_path / "hostile.log"
    _one_decision_log(path, {"n": 1}, _PAIR)
    lines = path.read_bytes().decode("utf-8").split("\n")
    lines[0] = HOSTILE[case](lines[0])
    path.write_bytes("\n".join(lines).encode("utf-8", "surrogateescape"))
    _both_paths(path, tmp_path, capsys, monkeypatch)


@pytest.mark.parametrize("letter", ["N", "I", "-"])
@pytest.mark.parametrize("field", ["reward", "decision_id"])
def test_a_text_of_a_nul_and_one_letter_is_never_read_as_a_number(field, letter, tmp_path, capsys, monkeypatch):
    path = tmp_path / "text.log"
    _one_decision_log(path, {"n": 1}, _PAIR)
    lines = path.read_text().split("\n")
    resolution = json.loads(lines[1])
    resolution[field] = "\x00" + letter
    lines[1] = json.dumps(resolution, separators=(",", ":"))
    path.write_text("\n".join(lines))
    assert not _proved_natively(path)
    assert _both_paths(path, tmp_path, capsys, monkeypatch)[0][0] != 0


def test_a_null_or_integer_reward_is_read_alike(tmp_path, capsys, monkeypatch):
    path = tmp_path / "rewards.log"
    _one_decision_log(path, {"n": 1}, _PAIR, reward=2.0)
    text = path.read_text()
    path.write_text(text.replace('"reward":2.0', '"reward":2', 1))
    assert _proved_natively(path)
    _both_paths(path, tmp_path, capsys, monkeypatch)
    path.write_text(text.replace('"reward":2.0', '"reward":null', 1))
    _both_paths(path, tmp_path, capsys, monkeypatch)


def test_a_log_without_its_last_newline_and_an_empty_log_are_read_alike(run_log, tmp_path, capsys, monkeypatch):
    path, _ = run_log
    path.write_text(path.read_text().rstrip("\n"))
    assert _proved_natively(path)
    _both_paths(path, tmp_path, capsys, monkeypatch)
    path.write_text("")
    _both_paths(path, tmp_path, capsys, monkeypatch)


def test_a_log_continuing_from_a_saved_state_is_proved_natively(tmp_path, capsys, monkeypatch):
    first, rest = tmp_path / "first.log", tmp_path / "rest.log"
    state = write_run(first, decisions=40)
    saved = tmp_path / "saved.hex"
    saved.write_text(sorvane.serialize(state) + "\n")
    write_run(rest, decisions=30, state=state, start=40)
    python = _both_paths(rest, tmp_path, capsys, monkeypatch, flags=["--from-state", str(saved), "-q"])
    assert python[0][0] == 0 and python[3] == sorvane.serialize(state)


@pytest.mark.parametrize("size", [1, 7, 4096])
def test_lines_cut_across_chunks_are_put_back_together(run_log, size):
    path, state = run_log
    data = path.read_bytes()
    config = load_config(CONFIG["horizon"], CONFIG["default_reward"], CONFIG["epsilon"], CONFIG["forgetfulness"],
                         None)
    replay = native_replay.start(config)
    for k in range(0, len(data), size):
        assert replay.feed(data[k:k + size])
    replay.finish()
    assert replay.declined() is None and replay.state_text() == sorvane.serialize(state)


def _with_header(path, line_two=False):
    from sorvane_cli import header_line

    header = header_line(10, CONFIG["horizon"], CONFIG["default_reward"], CONFIG["epsilon"],
                         CONFIG["forgetfulness"])
    lines = path.read_text().splitlines()
    lines.insert(1 if line_two else 0, header)
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("flags", [FLAGS, ["-q"]], ids=["flags", "header alone"])
def test_a_log_with_a_header_line_is_proved_natively(run_log, tmp_path, flags, capsys, monkeypatch):
    path, state = run_log
    _with_header(path)
    assert _proved_natively(path)
    python = _both_paths(path, tmp_path, capsys, monkeypatch, flags=flags)
    assert python[0][0] == 0 and python[3] == sorvane.serialize(state)


def test_a_header_line_out_of_place_is_reported_alike(run_log, tmp_path, capsys, monkeypatch):
    path, _ = run_log
    _with_header(path, line_two=True)
    assert not _proved_natively(path)
    assert _both_paths(path, tmp_path, capsys, monkeypatch)[0][0] != 0


@pytest.mark.parametrize("damage", [False, True], ids=["clean", "flipped"])
def test_a_compressed_log_is_read_alike(run_log, tmp_path, damage, capsys, monkeypatch):
    import gzip

    path, state = run_log
    if damage:
        flip_line(path, lines_of(path, "decision")[3], DECISION_FLIPS["salt"])
    packed = tmp_path / "run.log.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    assert _proved_natively(packed) != damage
    python = _both_paths(packed, tmp_path, capsys, monkeypatch)
    assert (python[0][0] == 0) != damage


_VALUES = st.one_of(st.none(), st.booleans(), st.integers(min_value=-(2**64), max_value=2**64),
                    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=6))
_FEATURES = st.dictionaries(st.text(max_size=5), _VALUES, max_size=5)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(context=_FEATURES, candidates=st.lists(st.tuples(st.text(max_size=4), _FEATURES), min_size=1, max_size=4))
def test_any_inputs_the_host_can_log_are_read_alike(context, candidates, tmp_path, capsys, monkeypatch):
    path = tmp_path / "any.log"
    _one_decision_log(path, context, candidates)
    _both_paths(path, tmp_path, capsys, monkeypatch)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_a_line_damaged_anywhere_is_read_alike(data, tmp_path, capsys, monkeypatch):
    path = tmp_path / "damaged.log"
    _one_decision_log(path, {"n": 1.5, "s": "x"}, _PAIR)
    raw = bytearray(path.read_bytes())
    for _ in range(data.draw(st.integers(1, 3))):
        at = data.draw(st.integers(0, len(raw) - 1))
        raw[at:at + 1] = data.draw(st.sampled_from([b"", b"N", b"I", b"-", b"0", b"9", b"\"", b"\\", b",", b"{",
                                                    b"]", b"\n", b" ", b"\xc3", b"e", b"NaN", b"Infinity"]))
    path.write_bytes(bytes(raw))
    _both_paths(path, tmp_path, capsys, monkeypatch)


def test_a_log_of_a_header_alone_is_read_alike(tmp_path, capsys, monkeypatch):
    path = tmp_path / "header.log"
    path.write_text("")
    _with_header(path)
    assert _proved_natively(path)
    _both_paths(path, tmp_path, capsys, monkeypatch, flags=["-q"])


@pytest.mark.parametrize("where", [0, -1])
def test_a_line_past_the_line_bound_is_reported_alike(run_log, tmp_path, where, capsys, monkeypatch):
    path, _ = run_log
    lines = path.read_text().splitlines()
    index = lines_of(path, "decision")[where]
    lines[index] = lines[index][:-1] + ',"pad":"' + "x" * 6000 + '"}'
    path.write_text("\n".join(lines))  # the last line without its newline
    flags = FLAGS + ["--max-line-bytes", "5000"]
    python = _both_paths(path, tmp_path, capsys, monkeypatch, flags=flags)
    assert python[0][0] != 0
    # Within the bound, the same log is proved natively.
    assert _proved_natively(path)
