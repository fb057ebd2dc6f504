"""Logs written through a joint model: verify proves them (natively and in
the Python replay), replay rebuilds the model beside the state, a saved pair
continues a log, and eval weighs a joint target on a built-in log."""
import json
import math

import pytest

import sorvane
from sorvane_cli import JointModel, header_line
from sorvane_cli.replay import native as native_replay
from sorvane_cli.replay import replayer as replay
from sorvane_cli.__main__ import main

BITS = 12
CANDIDATES = [(f"item-{i}", {"category": ("news", "tech", "food")[i % 3], "price": 1.5 + i}) for i in range(5)]


def write_log(path, decisions, state=None, model=None, joint=True, start=0, header=True):
    """A log of `decisions` decide + learn/expire rounds; the state and model at the end."""
    state = state or sorvane.create(BITS, 20.0, default_reward=-0.5, epsilon=0.1)
    model = model if model is not None else (JointModel(BITS) if joint else None)
    decide_taps = {"score": model.score, "explore": model.explore} if model is not None else {}
    learn_taps = {"train": model.train} if model is not None else {}
    with open(path, "w") as log:
        if header:
            log.write(header_line(BITS, 20.0, -0.5, 0.1, model=model) + "\n")
        for k in range(start, start + decisions):
            context = {"device": ("mobile", "desktop", "tablet")[k % 3], "hour": k % 24}
            record = sorvane.decide(state, context, CANDIDATES, float(k), "web", **decide_taps)
            log.write(sorvane.log_line(record) + "\n")
            if k % 3:
                resolution = sorvane.learn(state, record.decision_id, float(record.chosen == k % 5), float(k),
                                           **learn_taps)
                log.write(sorvane.log_line(resolution) + "\n")
            for resolution in sorvane.expire(state, float(k), **learn_taps):
                log.write(sorvane.log_line(resolution) + "\n")
    return state, model


@pytest.fixture(params=["native", "python"])
def path_taken(request, monkeypatch):
    """Each test runs through the native replay and through the Python one."""
    if request.param == "python":
        monkeypatch.setattr(native_replay, "_native", None)
    return request.param


def python_replay_refused(monkeypatch):
    """Makes the Python replay fail, so a log passes only when the native path proved it."""
    def refuse(*args, **kwargs):
        raise AssertionError("the native path declined the log")
    monkeypatch.setattr(replay, "Replayer", refuse)


def run(argv, capsys):
    status = main(argv)
    out, err = capsys.readouterr()
    assert "Traceback" not in out + err
    return status, out, err


def verify_json(path, capsys, *flags):
    status, out, _ = run(["verify", str(path), "--json", "--quiet", *flags], capsys)
    return status, json.loads(out)


def test_verify_proves_a_joint_model_log(tmp_path, path_taken, capsys, monkeypatch):
    write_log(tmp_path / "run.log", 300)
    if path_taken == "native":
        python_replay_refused(monkeypatch)
    status, report = verify_json(tmp_path / "run.log", capsys)
    assert (status, report["verified"], report["problems"], report["steered"]) == (0, True, 0, 0)


@pytest.mark.parametrize("field, value", [("propensity", 0.5), ("chosen", 4), ("model_version", 0)])
def test_verify_names_the_first_changed_line_of_a_joint_model_log(tmp_path, path_taken, capsys, field, value):
    path = tmp_path / "run.log"
    write_log(path, 300)
    lines = path.read_text().splitlines(keepends=True)
    decisions = [k for k, line in enumerate(lines) if '"event":"decision"' in line]
    target = decisions[150]
    line = json.loads(lines[target])
    if line["record"][field] == value:
        value = 3 if field == "chosen" else 0.25
    line["record"][field] = value
    lines[target] = json.dumps(line, separators=(",", ":")) + "\n"
    path.write_text("".join(lines))
    status, report = verify_json(path, capsys)
    assert status != 0 and not report["verified"]
    assert report["first"][0]["line"] == target + 1
    assert report["first"][0]["kind"] == "record-mismatch"


def test_the_same_log_without_its_header_is_not_proven(tmp_path, capsys):
    path = tmp_path / "run.log"
    write_log(path, 100, header=False)
    status, report = verify_json(path, capsys, "--horizon", "20")
    assert status != 0 and not report["verified"]


def test_replay_rebuilds_the_model_beside_the_state(tmp_path, path_taken, capsys, monkeypatch):
    state, model = write_log(tmp_path / "run.log", 200)
    if path_taken == "native":
        python_replay_refused(monkeypatch)
    status, _, _ = run(["replay", str(tmp_path / "run.log"), "-o", str(tmp_path / "state.hex"), "--quiet"], capsys)
    assert status == 0
    assert (tmp_path / "state.hex").read_text() == sorvane.serialize(state)
    assert (tmp_path / "state.hex.model").read_text() == model.serialize()


def test_replay_of_a_joint_model_log_to_stdout_is_refused(tmp_path, capsys):
    write_log(tmp_path / "run.log", 20)
    status, _, err = run(["replay", str(tmp_path / "run.log"), "-o", "-"], capsys)
    assert status != 0 and "give -o PATH" in err


def test_a_saved_state_and_model_continue_a_log(tmp_path, path_taken, capsys, monkeypatch):
    state, model = write_log(tmp_path / "first.log", 120)
    if path_taken == "native":
        python_replay_refused(monkeypatch)
    (tmp_path / "state.hex").write_text(sorvane.serialize(state))
    (tmp_path / "model.hex").write_text(model.serialize())
    write_log(tmp_path / "second.log", 120, state=state, model=model, start=120)
    status, report = verify_json(tmp_path / "second.log", capsys, "--from-state", str(tmp_path / "state.hex"),
                                 "--from-model", str(tmp_path / "model.hex"))
    assert (status, report["verified"]) == (0, True)
    status, _, err = run(["verify", str(tmp_path / "second.log"), "--from-state", str(tmp_path / "state.hex")],
                         capsys)
    assert status != 0 and "--from-state needs --from-model" in err


@pytest.mark.parametrize("learner, message", [
    ({"kind": "other"}, "kind must be 'joint'"),
    ({"kind": "joint", "learning_rate": 0.01, "explore": "squarecb", "gamma_scale": 10.0}, "it has no"),
    ({"kind": "joint", "learning_rate": -1, "explore": "squarecb", "gamma_scale": 10.0, "initial_accumulator": 0},
     "learning_rate must be positive"),
    ({"kind": "joint", "learning_rate": 0.1, "explore": "x", "gamma_scale": 10.0, "initial_accumulator": 0},
     "explore must be"),
])
def test_a_header_with_a_bad_learner_is_a_problem_of_line_one(tmp_path, capsys, learner, message):
    path = tmp_path / "run.log"
    write_log(path, 10)
    lines = path.read_text().splitlines(keepends=True)
    header = json.loads(lines[0])
    header["learner"] = learner
    lines[0] = json.dumps(header) + "\n"
    path.write_text("".join(lines))
    status, report = verify_json(path, capsys, "--horizon", "20")
    assert status != 0
    assert report["first"][0]["line"] == 1 and message in report["first"][0]["message"]


def test_header_line_refuses_a_model_of_other_bits():
    with pytest.raises(ValueError, match="must be the same"):
        header_line(BITS, 20.0, model=JointModel(BITS + 1))
    with pytest.raises(TypeError):
        header_line(BITS, 20.0, model="joint")


def eval_json(path, capsys, *flags):
    status, out, _ = run(["eval", str(path), "--json", "--quiet", *flags], capsys)
    return status, json.loads(out)


@pytest.mark.parametrize("method", ["weighted", "rejection"])
def test_eval_weighs_a_joint_target_on_a_built_in_log(tmp_path, capsys, method):
    write_log(tmp_path / "run.log", 400, joint=False)
    status, report = eval_json(tmp_path / "run.log", capsys, "--method", method,
                               "--target", "model=joint,learning_rate=0.03,epsilon=0.01",
                               "--target", "model=joint,explore=epsilon-greedy")
    assert status == 0 and report["evaluated"]
    logging, first, second = report["targets"]
    assert "learner" not in logging["config"]
    assert first["config"]["learner"] == {"kind": "joint", "learning_rate": 0.03, "explore": "squarecb",
                                          "gamma_scale": 10.0, "initial_accumulator": 0.0}
    assert first["config"]["epsilon"] == 0.01
    assert second["config"]["learner"]["explore"] == "epsilon-greedy"
    estimate = (lambda t: t["estimators"]["ips"]["estimate"]) if method == "weighted" else (
        lambda t: t["rejection"]["estimate"])
    assert all(math.isfinite(estimate(t)) for t in (first, second))


def test_eval_of_a_joint_model_log_takes_its_model_as_the_baseline(tmp_path, capsys):
    write_log(tmp_path / "run.log", 300)
    status, report = eval_json(tmp_path / "run.log", capsys, "--method", "weighted")
    logging = report["targets"][0]
    assert status == 0 and logging["config"]["learner"]["kind"] == "joint"
    # The baseline's model gives every logged choice its logged propensity: every weight is one.
    assert logging["ess"] == logging["n"]
    assert logging["estimators"]["ips"]["estimate"] == report["logged_mean"]["estimate"]


@pytest.mark.parametrize("target, message", [
    ("learning_rate=0.1", "goes with model=joint"),
    ("model=other", "model must be builtin or joint"),
    ("model=joint,learning_rate=0", "learning_rate must be positive"),
    ("model=joint,explore=greedy", "explore must be"),
])
def test_eval_refuses_a_target_that_makes_no_model(tmp_path, capsys, target, message):
    write_log(tmp_path / "run.log", 20, joint=False)
    status, _, err = run(["eval", str(tmp_path / "run.log"), "--target", target], capsys)
    assert status != 0 and message in err


def test_sweep_ranks_joint_models_by_their_settings(tmp_path, capsys):
    write_log(tmp_path / "run.log", 300, joint=False)
    status, out, _ = run(["sweep", str(tmp_path / "run.log"), "--grid", "model=joint",
                          "--grid", "learning_rate=0.01,0.03", "--method", "weighted", "--quiet"], capsys)
    assert status == 0
    assert "model=joint,learning_rate=0.01" in out and "model=joint,learning_rate=0.03" in out


def test_the_readme_joint_model_example_runs_and_its_log_verifies(tmp_path, monkeypatch, capsys):
    import re
    from pathlib import Path

    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    example = next(block for block in re.findall(r"```python\n(.*?)```", readme, re.S) if "JointModel(" in block)
    monkeypatch.chdir(tmp_path)
    exec(compile(example, "README joint model", "exec"), {})
    status, report = verify_json(tmp_path / "experience-joint.jsonl", capsys)
    assert (status, report["verified"], report["decisions"]) == (0, True, 1)
