"""The long-run replay's native path: the same reports as the Python
replay, estimates bit for bit, on clean logs, logs continuing a saved state,
logs with expired and pending decisions, several targets, joint-model targets
and logging configurations, and sweeps on one or two workers; and the acceptance draw, the same on both paths."""
import hashlib
import json
import math

import pytest
from logs import nan_run, write_run
from test_cli_eval_longrun import continued_log
from test_cli_eval_methods import two_arm_log
from test_joint_model_log import write_log as write_joint_log

import sorvane
from sorvane_cli import _native
from sorvane_cli.__main__ import main
from sorvane_cli.evaluation import evaluate
from sorvane_cli.evaluation.native_longrun import acceptance_prefix, fit_natively
from sorvane_cli.evaluation.rejection import acceptance_uniform


@pytest.fixture
def native_calls(monkeypatch):
    """Whether each long-run evaluation went the native way (True) or
    declined to the Python replay (False)."""
    calls = []
    real = evaluate.longrun_natively

    def spy(*args, **kwargs):
        out = real(*args, **kwargs)
        calls.append(out is not None)
        return out

    monkeypatch.setattr(evaluate, "longrun_natively", spy)
    return calls


def run(capsys, argv, monkeypatch=None):
    """(exit status, output) of the command; with `monkeypatch`, through the
    Python reward model's pass and the Python replay alone."""
    if monkeypatch is not None:
        with monkeypatch.context() as m:
            m.setattr(evaluate, "longrun_natively", lambda *args, **kwargs: None)
            m.setattr(evaluate, "fit_natively", lambda *args, **kwargs: None)
            status = main(argv)
    else:
        status = main(argv)
    return status, capsys.readouterr()[0]


def both_ways(capsys, monkeypatch, argv):
    native = run(capsys, argv)
    python = run(capsys, argv, monkeypatch)
    assert native == python
    return native


def write_logs(tmp_path):
    """name -> (log, extra arguments)."""
    run_log = tmp_path / "run.log"
    write_run(run_log, decisions=700)
    two = tmp_path / "two.log"
    two_arm_log(two, decisions=500)
    saved, continued = continued_log(tmp_path)
    nans = tmp_path / "nan.log"
    nan_run(nans, decisions=300)
    return {"run": (run_log, []), "two": (two, ["--forgetfulness", "1.0"]),
            "continued": (continued, ["--from-state", str(saved)]), "nan": (nans, []),
            "varied": (varied_contexts_log(tmp_path / "varied.log"), [])}


TARGETS = ["--target", "epsilon=0.1,name=a", "--target", "epsilon=0,forgetfulness=0.9,name=b",
           "--target", "epsilon=0.4,default_reward=0.5,name=c"]


@pytest.mark.parametrize("log", ["run", "two", "continued", "nan", "varied"])
@pytest.mark.parametrize("extra", [[], ["--replays", "2", "--seed", "9", "--accept-scale", "0.8"]])
def test_eval_gives_the_python_report_bit_for_bit(tmp_path, capsys, monkeypatch, native_calls, log, extra):
    path, args = write_logs(tmp_path)[log]
    status, out = both_ways(capsys, monkeypatch, ["eval", str(path), "--json", "-q", *args, *TARGETS, *extra])
    assert status == 0 and native_calls == [True]
    report = json.loads(out)
    # Every target learned and was measured: the comparison is not vacuous.
    for target in report["targets"]:
        assert target["longrun"]["terms"] > 0 and target["longrun"]["accepted_share"] >= 0
    assert any(target["longrun"]["accepted_share"] > 0 for target in report["targets"])
    if log == "run":
        assert report["pending"] > 0 and report["resolved"] < report["decisions"]


def test_the_sweep_is_the_python_sweep_on_one_or_two_workers(tmp_path, capsys, monkeypatch, native_calls):
    for path, args in write_logs(tmp_path).values():
        argv = ["sweep", str(path), *args, "--grid", "epsilon=0,0.1,0.3", "--grid", "forgetfulness=0.99,1.0",
                "--json", "-q"]
        one = run(capsys, argv + ["--workers", "1"])
        assert one == run(capsys, argv + ["--workers", "2"])
        assert one == run(capsys, argv + ["--workers", "1"], monkeypatch)
        assert one[0] == 0
    assert native_calls and all(native_calls)


@pytest.mark.parametrize("threads, batch_lines", [(1, 1), (3, 7), (2, 2048)])
def test_the_runs_step_side_by_side_to_the_python_report(tmp_path, capsys, monkeypatch, native_calls, threads,
                                                         batch_lines):
    # Batches that end anywhere, a slot freed and taken again in one batch,
    # saved-state resolutions between decisions, more threads than cores.
    from sorvane_cli import jobs
    from sorvane_cli.evaluation import native_longrun
    argv_of = {name: ["eval", str(path), "--json", "-q", *args, *TARGETS, "--replays", "2"]
               for name, (path, args) in write_logs(tmp_path).items()}
    expected = {name: run(capsys, argv, monkeypatch) for name, argv in argv_of.items()}
    monkeypatch.setattr(jobs, "threads", threads)
    monkeypatch.setattr(native_longrun, "LONGRUN_BATCH_LINES", batch_lines)
    for name, argv in argv_of.items():
        assert run(capsys, argv) == expected[name], name
    assert native_calls == [True] * len(argv_of)


def test_shares_are_of_the_decisions_offered_resolved_or_not(tmp_path, capsys, monkeypatch, native_calls):
    # Three decisions in four never resolve; a large scale accepts nearly all.
    path = tmp_path / "pending.log"
    state = sorvane.create(8, 1e9, epsilon=1.0, forgetfulness=1.0)
    with open(path, "w") as log:
        for i in range(400):
            record = sorvane.decide(state, {"u": i % 3}, [("a", {}), ("b", {}), ("c", {})], float(i), "p")
            log.write(sorvane.log_line(record) + "\n")
            if i % 4 == 0:
                log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, 1.0, float(i))) + "\n")
    status, out = both_ways(capsys, monkeypatch, ["eval", str(path), "--json", "-q", "--accept-scale", "20",
                                                  "--target", "epsilon=0.5,name=t"])
    assert status == 0 and native_calls == [True]
    longrun = json.loads(out)["targets"][1]["longrun"]
    assert longrun["terms"] == 100
    assert 0.9 < longrun["accepted_share"] <= 1.0 and 0.0 < longrun["cut_share"] <= 1.0
    assert longrun["run_length"] == round(400 * longrun["accepted_share"])


def test_a_log_the_native_pass_declines_gets_the_python_report(tmp_path, capsys, monkeypatch, native_calls):
    path = tmp_path / "run.log"
    write_run(path, decisions=200)
    with open(path, "a") as f:
        # A resolution of a decision the log never made, then a line cut short.
        f.write('{"kind":"learn","decision_id":"nowhere","reward":1.0,"t":500.0}\n{"kind":"dec')
    status, out = both_ways(capsys, monkeypatch, ["eval", str(path), "--json", "-q", *TARGETS])
    assert native_calls == [False]
    assert status != 0 and json.loads(out)["evaluated"] is False


JOINT_TARGETS = ["--target", "model=joint,learning_rate=0.03,epsilon=0.01,name=j1",
                 "--target", "model=joint,explore=epsilon-greedy,epsilon=0.2,initial_accumulator=1,name=j2",
                 "--target", "model=joint,learning_rate=0.3,gamma_scale=3,forgetfulness=0.9,default_reward=0.5,name=j3",
                 "--target", "epsilon=0.1,name=b"]


def joint_logs(tmp_path):
    """name -> (log, extra arguments): built-in logs, and logs written
    through a joint model, fresh and continuing a saved state and model."""
    logs = {name: entry for name, entry in write_logs(tmp_path).items() if name in ("run", "two", "continued")}
    state, model = write_joint_log(tmp_path / "joint.log", 150)
    (tmp_path / "state.hex").write_text(sorvane.serialize(state))
    (tmp_path / "model.hex").write_text(model.serialize())
    write_joint_log(tmp_path / "second.log", 150, state=state, model=model, start=150)
    logs["joint"] = (tmp_path / "joint.log", [])
    logs["joint-continued"] = (tmp_path / "second.log", ["--from-state", str(tmp_path / "state.hex"),
                                                          "--from-model", str(tmp_path / "model.hex")])
    return logs


@pytest.mark.parametrize("threads", [1, 2])
def test_joint_model_targets_give_the_python_report_bit_for_bit(tmp_path, capsys, monkeypatch, native_calls,
                                                                threads):
    from sorvane_cli import jobs
    # A model at bits of its own, where no saved state fixes them.
    own_bits = ["--target", "model=joint,bits=10,explore=epsilon-greedy,name=j4"]
    argv_of = {name: ["eval", str(path), "--json", "-q", *args, *JOINT_TARGETS, "--replays", "2",
                      *([] if "--from-state" in args else own_bits)]
               for name, (path, args) in joint_logs(tmp_path).items()}
    expected = {name: run(capsys, argv, monkeypatch) for name, argv in argv_of.items()}
    monkeypatch.setattr(jobs, "threads", threads)
    for name, argv in argv_of.items():
        status, out = run(capsys, argv)
        assert (status, out) == expected[name], name
        report = json.loads(out)
        assert status == 0 and all(t["longrun"]["accepted_share"] > 0 for t in report["targets"]), name
        if name.startswith("joint"):
            assert report["targets"][0]["config"]["learner"]["kind"] == "joint"
    assert native_calls == [True] * len(argv_of)


def test_a_joint_model_sweep_is_the_python_sweep_on_one_or_two_workers(tmp_path, capsys, monkeypatch, native_calls):
    for name, (path, args) in joint_logs(tmp_path).items():
        argv = ["sweep", str(path), *args, "--grid", "model=joint", "--grid", "learning_rate=0.01,0.1",
                "--grid", "explore=squarecb,epsilon-greedy", "--json", "-q"]
        one = run(capsys, argv + ["--workers", "1"])
        assert one == run(capsys, argv + ["--workers", "2"]), name
        assert one == run(capsys, argv + ["--workers", "1"], monkeypatch), name
        assert one[0] == 0
    assert native_calls and all(native_calls)


@pytest.mark.parametrize("model, error, message", [
    (5, TypeError, "a target's model must be None, a joint model's text or"),
    ((0.01, "squarecb", 10.0), TypeError, "joint model settings"),
    ((0.01, "greedy", 10.0, 0.0), ValueError, "explore must be 'epsilon-greedy' or 'squarecb'"),
    ((0.0, "squarecb", 10.0, 0.0), ValueError, "learning_rate must be positive and finite"),
    ((0.01, "squarecb", 10.0, -1.0), ValueError, "initial_accumulator must be finite and not negative"),
])
def test_the_pass_refuses_a_target_model_it_cannot_make(model, error, message):
    with pytest.raises(error, match=message):
        _native.LongRunPass([(0, 1.0, 0.0, 0.1, 1.0, None, model)], None, [b"0\0"], 0.3, ([], [], 0.0, 0.0, 1.0))


def test_a_joint_model_text_that_does_not_load_is_declined():
    longrun = _native.LongRunPass([(0, 1.0, 0.0, 0.1, 1.0, None, "00")], None, [b"0\0"], 0.3,
                                  ([], [], 0.0, 0.0, 1.0))
    assert longrun.declined() == (0, "the joint model text does not load")


@pytest.mark.parametrize("decision_id", ["", "d-1", "é" * 70, "x" * 111, "y" * 112, "z" * 113, "w" * 400])
@pytest.mark.parametrize("seed, replay", [(0, 0), (7, 2), (-3, 11)])
def test_the_acceptance_draw_is_the_same_on_both_paths(decision_id, seed, replay):
    # Ids around the hash's 128-byte block, whole and split.
    assert _native.acceptance_uniform(acceptance_prefix(seed, replay), decision_id) == \
        acceptance_uniform(seed, decision_id, replay)
    key = f"{seed}\0{replay}\0{decision_id}".encode()
    assert acceptance_uniform(seed, decision_id, replay) == \
        (int.from_bytes(hashlib.blake2b(key, digest_size=8).digest(), "little") >> 11) * 2.0 ** -53


def varied_contexts_log(path, decisions=600):
    """Contexts of every kind the reward model reads: true, false, null,
    texts, ints, floats, non-finite numbers, and more tokens than it keeps."""
    state = sorvane.create(8, 50.0, epsilon=0.3)
    with open(path, "w") as log:
        for i in range(decisions):
            context = {"flag": i % 2 == 0, "none": None, "n": i % 7, "x": 0.25 * (i % 5), "city": f"c{i % 500}",
                       "odd": [math.nan, math.inf, -math.inf, 1.5][i % 4], "ü": "ä"}
            if i % 9 == 0:
                del context["none"]
            record = sorvane.decide(state, context, [(f"i{k}", {"k": k}) for k in range(2 + i % 3)], float(i), "v")
            log.write(sorvane.log_line(record) + "\n")
            if i % 4 != 3:
                reward = (i * 7919 % 13) / 13.0
                log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, i + 0.5)) + "\n")
    return path


def test_the_native_rows_fit_the_python_model(tmp_path, capsys, monkeypatch, native_calls):
    path = varied_contexts_log(tmp_path / "varied.log")
    native = fit_natively(str(path), lambda label: _Bar())
    assert native is not None
    with monkeypatch.context() as m:
        m.setattr(evaluate, "fit_natively", lambda *args, **kwargs: None)
        python = evaluate.fit_reward_model(str(path), lambda label: _Bar())
    assert len(python.tables()[0]) == 256
    assert native.tables() == python.tables()
    status, out = both_ways(capsys, monkeypatch, ["eval", str(path), "--json", "-q", *TARGETS])
    assert status == 0 and native_calls == [True]


class _Bar:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, *args):
        pass
