"""The toolkit's native evaluation gives exactly what the Python evaluation
gives: the same report, text and JSON, number for number, for every kind of
target (an epsilon sweep sharing one learner, other bits, other
forgetfulness or default reward, a baseline continuing a saved state), and
the same stop on a log it hands back."""
import json
import math

import pytest

import sorvane
from sorvane_cli.evaluation import native as native_eval
from sorvane_cli.replay import native as native_replay
from sorvane_cli.__main__ import main
from sorvane_cli.evaluation.targets import build_targets
from sorvane_cli.jobs import no_progress
from sorvane_cli.log.config import load_config
from logs import CONFIG, FLAGS, flip_line, flip_chosen, lines_of, nan_run, write_run

TARGETS = {
    "baseline only": [],
    "an epsilon sweep": ["--target", "epsilon=0.0", "--target", "epsilon=0.5,name=wide", "--target", "epsilon=1"],
    "other bits": ["--target", "bits=6", "--target", "bits=12,epsilon=0.1"],
    "other forgetfulness and default reward": ["--target", "forgetfulness=1.0", "--target", "default_reward=1.5",
                                               "--target", "default_reward=-0.0"],
}


def _eval_both(path, capsys, monkeypatch, flags=FLAGS, extra=()):
    results = []
    for native in (True, False):
        with monkeypatch.context() as m:
            if not native:
                m.setattr(native_replay, "_native", None)
            got = []
            for form in ([], ["--json"]):
                status = main(["eval", str(path), "--method", "weighted", "--bootstrap", "50"] + flags + list(extra)
                              + form)
                got.append((status,) + capsys.readouterr())
            results.append(got)
    assert results[0] == results[1]
    return results[1]


def _proved_natively(path, extra=(), flags=FLAGS):
    args = dict(zip(flags[::2], flags[1::2]))
    config = load_config(float(args["--horizon"]), float(args["--default-reward"]), float(args["--epsilon"]),
                         float(args["--forgetfulness"]), None)
    settings = [extra[k + 1] for k in range(0, len(extra), 2)] if extra else None
    targets = build_targets(config, settings)
    return native_eval.evaluate_natively(str(path), config, targets, no_progress) is not None


@pytest.mark.parametrize("targets", sorted(TARGETS))
def test_targets_are_evaluated_natively_to_the_same_report(targets, tmp_path, capsys, monkeypatch):
    path = tmp_path / "run.log"
    write_run(path, decisions=120)
    assert _proved_natively(path, TARGETS[targets])
    report = _eval_both(path, capsys, monkeypatch, extra=TARGETS[targets])
    assert report[0][0] == 0 and json.loads(report[1][1])["targets"]


def test_texts_of_a_nul_and_one_letter_are_evaluated_as_texts(tmp_path, capsys, monkeypatch):
    path = tmp_path / "nul.log"
    state = sorvane.create(10, **CONFIG)
    with open(path, "w") as log:
        for i in range(40):
            context = {"mark": ["\x00N", "\x00I", "\x00-"][i % 3], "hour": i % 5}
            candidates = [("a", {"f": "\x00N" if i % 2 else "\x00I"}), ("b", {"f": "\x00-"})]
            record = sorvane.decide(state, context, candidates, float(i), "nul")
            log.write(sorvane.log_line(record) + "\n")
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, float(record.chosen), i + 0.5)) + "\n")
    assert _proved_natively(path, TARGETS["an epsilon sweep"])
    _eval_both(path, capsys, monkeypatch, extra=TARGETS["an epsilon sweep"])


def test_nan_and_infinite_values_are_evaluated_alike(tmp_path, capsys, monkeypatch):
    path = tmp_path / "nan.log"
    nan_run(path, decisions=20)
    state = sorvane.create(10, **CONFIG)
    with open(path, "a") as log:  # a NaN reward and an infinite propensity's neighbour: excluded terms
        for i in range(20, 26):
            record = sorvane.decide(state, {"x": math.inf}, [("a", {}), ("b", {"y": -math.inf})], float(i), "inf")
            log.write(sorvane.log_line(record) + "\n")
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, math.nan if i % 2 else 1.0,
                                                     float(i))) + "\n")
    assert _proved_natively(path, TARGETS["an epsilon sweep"])
    _eval_both(path, capsys, monkeypatch, extra=TARGETS["an epsilon sweep"])


def test_a_baseline_continuing_a_saved_state_is_evaluated_natively_alike(tmp_path, capsys, monkeypatch):
    first, rest = tmp_path / "first.log", tmp_path / "rest.log"
    state = write_run(first, decisions=40)
    saved = tmp_path / "saved.hex"
    saved.write_text(sorvane.serialize(state) + "\n")
    write_run(rest, decisions=40, state=state, start=40)
    with open(rest, "a") as log:
        for resolution in sorvane.expire(state, 1e9):
            log.write(sorvane.log_line(resolution) + "\n")
    report = _eval_both(rest, capsys, monkeypatch, flags=["--from-state", str(saved), "-q"],
                        extra=TARGETS["an epsilon sweep"])
    assert report[0][0] == 0


@pytest.mark.parametrize("damage", ["a chosen past the candidates", "an unknown id", "a duplicate decision",
                                    "a line that is not JSON", "an empty log"])
def test_a_log_the_evaluation_stops_on_is_reported_alike(damage, tmp_path, capsys, monkeypatch):
    path = tmp_path / "run.log"
    write_run(path, decisions=60)
    lines = path.read_text().splitlines()
    index = lines_of(path, "decision")[10]
    if damage == "a chosen past the candidates":
        obj = json.loads(lines[index])
        obj["record"]["chosen"] = len(obj["candidates"])
        lines[index] = json.dumps(obj, separators=(",", ":"))
    elif damage == "an unknown id":
        lines.insert(index, '{"event":"resolution","decision_id":"nope","kind":"rewarded","reward":1.0}')
    elif damage == "a duplicate decision":
        lines.insert(index, lines[index])
    elif damage == "a line that is not JSON":
        lines[index] = lines[index][:-3]
    else:
        lines = []
    path.write_text("\n".join(lines) + ("\n" if lines else ""))
    assert not _proved_natively(path)
    assert _eval_both(path, capsys, monkeypatch)[0][0] != 0


def test_a_corrupt_record_the_evaluation_does_not_check_is_evaluated_alike(tmp_path, capsys, monkeypatch):
    # eval uses the logged choice, whatever the engine would choose.
    path = tmp_path / "run.log"
    write_run(path, decisions=60)
    flip_line(path, lines_of(path, "decision")[7], flip_chosen)
    assert _proved_natively(path)
    _eval_both(path, capsys, monkeypatch, extra=TARGETS["an epsilon sweep"])
