"""sorvane eval and sweep by the long-run replay: a case with a known
answer, targets continuing a saved state, estimates independent of the
other targets and of the workers, and what is said when nothing is kept."""
import json

import pytest
from test_cli_eval_methods import REWARD, two_arm_log

import sorvane
from sorvane_cli.__main__ import main
from sorvane_cli.status import Exit


def run_json(capsys, *argv):
    status = main(list(argv) + ["--json", "-q"])
    out, err = capsys.readouterr()
    assert status == Exit.OK, out + err
    return json.loads(out)


def by_name(report, method="longrun"):
    return {t["name"]: t[method] for t in report["targets"]}


def test_a_static_target_on_a_uniform_log_gets_its_known_value(tmp_path, capsys):
    # Logged uniformly over two candidates whose rewards never vary; a
    # uniform target earns (0.3 + 0.7) / 2 whatever it learns.
    path = tmp_path / "two.log"
    two_arm_log(path, decisions=600)
    report = run_json(capsys, "eval", str(path), "--forgetfulness", "1.0", "--target", "epsilon=1,name=uniform",
                      "--target", "epsilon=1,forgetfulness=0.5,name=forgets")
    uniform, forgets = by_name(report)["uniform"], by_name(report)["forgets"]
    truth = sum(REWARD.values()) / 2
    assert uniform["ci"][0] <= truth <= uniform["ci"][1]
    assert uniform["estimate"] == pytest.approx(truth, abs=0.02)
    # Nothing it learns changes its choices, so neither does its forgetfulness.
    assert forgets["estimate"] == uniform["estimate"]
    # It accepts min(1, 0.3 x 0.5 / 0.5) of the decisions.
    assert uniform["accepted_share"] == pytest.approx(0.3, abs=0.06)
    assert uniform["run_length"] == round(uniform["accepted_share"] * 600)


def test_a_greedy_target_locks_in_as_in_its_own_runs(tmp_path, capsys):
    path = tmp_path / "two.log"
    two_arm_log(path, decisions=600)
    report = run_json(capsys, "eval", str(path), "--forgetfulness", "1.0", "--target", "epsilon=0,name=greedy",
                      "--replays", "8")
    greedy = by_name(report)["greedy"]
    # Each replay sticks to the first candidate it learns: 0.3 or 0.7.
    for estimate in greedy["replay_estimates"]:
        assert min(abs(estimate - 0.3), abs(estimate - 0.7)) < 0.05, greedy


def continued_log(tmp_path):
    """A saved state with decisions still pending, and the log that
    continues it (resolving them)."""
    state = sorvane.create(8, 1e9, epsilon=0.2, forgetfulness=0.99)
    pending = []
    for i in range(60):
        record = sorvane.decide(state, {"g": i % 3}, [("a", {}), ("b", {}), ("c", {})], float(i), "s")
        if i >= 55:
            pending.append(record.decision_id)
        else:
            sorvane.learn(state, record.decision_id, 1.0 if record.chosen == i % 3 else 0.0, float(i))
    saved = tmp_path / "saved.hex"
    saved.write_text(sorvane.serialize(state))
    log = tmp_path / "rest.log"
    with open(log, "w") as f:
        f.writelines(sorvane.log_line(sorvane.learn(state, decision_id, 1.0, 60.0)) + "\n" for decision_id in pending)
        for i in range(60, 460):
            record = sorvane.decide(state, {"g": i % 3}, [("a", {}), ("b", {}), ("c", {})], float(i), "s")
            f.write(sorvane.log_line(record) + "\n")
            reward = 1.0 if record.chosen == i % 3 else 0.0
            f.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, float(i))) + "\n")
    return saved, log


@pytest.mark.parametrize("method", ["longrun", "rejection", "weighted"])
def test_every_target_continues_the_saved_state_with_its_own_settings(tmp_path, capsys, method):
    saved, log = continued_log(tmp_path)
    report = run_json(capsys, "eval", str(log), "--from-state", str(saved), "--method", method,
                      "--target", "epsilon=0.2,name=same", "--target", "epsilon=0.05,name=other")
    if method == "weighted":
        estimates = {t["name"]: t["estimators"]["dr"]["estimate"] for t in report["targets"]}
        ess = {t["name"]: t["ess"] for t in report["targets"]}
        assert ess["same"] == ess["logging"]
    else:
        estimates = {name: e["estimate"] for name, e in by_name(report, method).items()}
    # The logging configuration as a target is the logging row, bit for bit.
    assert estimates["same"] == estimates["logging"]
    # A target that starts from the saved model knows what it learned: it
    # earns far above a fresh model's first decisions.
    assert estimates["other"] > 0.6, estimates


def test_a_target_s_estimate_does_not_depend_on_the_other_targets(tmp_path, capsys):
    saved, log = continued_log(tmp_path)
    for method in ("longrun", "rejection"):
        alone = by_name(run_json(capsys, "eval", str(log), "--from-state", str(saved), "--method", method,
                                 "--target", "epsilon=0.1,name=t"), method)
        crowded = by_name(run_json(capsys, "eval", str(log), "--from-state", str(saved), "--method", method,
                                   "--target", "epsilon=0.1,name=t", "--target", "epsilon=0"), method)
        assert alone["t"] == crowded["t"]
        assert alone["logging"] == crowded["logging"]


def test_the_sweep_is_the_same_on_any_number_of_workers(tmp_path, capsys):
    saved, log = continued_log(tmp_path)
    argv = ["sweep", str(log), "--from-state", str(saved), "--grid", "epsilon=0,0.1,0.3", "--grid",
            "forgetfulness=0.99,1.0"]
    one = run_json(capsys, *argv, "--workers", "1")
    two = run_json(capsys, *argv, "--workers", "2")
    assert one == two
    assert one["ranked_by"] == "longrun"
    # And each row is what eval gives that configuration on its own.
    rows = {t["name"]: t["longrun"] for t in one["targets"]}
    alone = by_name(run_json(capsys, "eval", str(log), "--from-state", str(saved),
                             "--target", "epsilon=0.3,forgetfulness=1.0,name=t"))
    assert rows["epsilon=0.3,forgetfulness=1.0"]["estimate"] == alone["t"]["estimate"]


def test_sweep_withholds_a_winner_the_log_cannot_tell_apart(tmp_path, capsys):
    path = tmp_path / "two.log"
    two_arm_log(path, decisions=200)
    argv = ["sweep", str(path), "--forgetfulness", "1.0", "--grid", "epsilon=1", "--grid", "forgetfulness=1.0,0.5"]
    report = run_json(capsys, *argv)
    rec = report["recommended"]
    # Two configurations that choose alike earn alike: no winner.
    assert rec["recommended"] is False and len(rec["tied"]) == 1
    # Equal estimates: no longer log tells them apart.
    assert rec["close"] == rec["tied"] and rec["more_data"] is None
    assert main(argv + ["-q"]) == Exit.OK
    out = capsys.readouterr()[0]
    assert "no recommendation: the log cannot tell" in out and "nan" not in out
    assert "which no longer log changes" in out and "times as long" not in out


def test_nothing_kept_is_said_plainly_never_nan(tmp_path, capsys):
    # Logged at epsilon 0.01 over 40 candidates: a greedy target's bound M
    # is 1 / (0.01 / 40) = 4000, far more than the 60 decisions.
    state = sorvane.create(8, 1e9, epsilon=0.01, forgetfulness=1.0)
    path = tmp_path / "wide.log"
    candidates = [(f"c{k}", {}) for k in range(40)]
    with open(path, "w") as f:
        for i in range(60):
            record = sorvane.decide(state, {"u": 1}, candidates, float(i), "w")
            f.write(sorvane.log_line(record) + "\n")
            f.write(sorvane.log_line(sorvane.learn(state, record.decision_id, 1.0, float(i))) + "\n")
    argv = ["eval", str(path), "--forgetfulness", "1.0", "--method", "rejection", "--target", "epsilon=0,name=greedy"]
    assert main(argv + ["-q"]) == Exit.OK
    out = capsys.readouterr()[0]
    assert "nan" not in out.lower()
    assert "nothing was kept" in out and "--method longrun" in out
    # The long-run replay evaluates the same target on the whole log.
    greedy = by_name(run_json(capsys, *argv[:4], "--target", "epsilon=0,name=greedy"))["greedy"]
    assert greedy["terms"] == 60 and greedy["estimate"] == pytest.approx(1.0)
    # The sweep says the same in its own table.
    argv = ["sweep", str(path), "--forgetfulness", "1.0", "--method", "rejection", "--grid", "epsilon=0,0.001"]
    assert main(argv + ["-q", "--workers", "1"]) == Exit.OK
    out = capsys.readouterr()[0]
    assert "nan" not in out.lower() and "nothing was kept" in out


def test_an_estimate_outside_the_logged_rewards_is_flagged(tmp_path, capsys):
    # Every reward is 1, logged uniformly over three candidates: a greedy
    # target's IPS is 3 x the share of decisions that match its choice,
    # which no policy can earn past 1.
    state = sorvane.create(8, 1e9, epsilon=1.0, forgetfulness=1.0)
    path = tmp_path / "ones.log"
    with open(path, "w") as f:
        for i in range(12):
            record = sorvane.decide(state, {"u": 1}, [("a", {}), ("b", {}), ("c", {})], float(i), "o")
            f.write(sorvane.log_line(record) + "\n")
            f.write(sorvane.log_line(sorvane.learn(state, record.decision_id, 1.0, float(i))) + "\n")
    argv = ["eval", str(path), "--forgetfulness", "1.0", "--method", "weighted", "--target", "epsilon=0,name=greedy"]
    report = run_json(capsys, *argv)
    ips = report["targets"][1]["estimators"]["ips"]
    assert report["reward_range"] == [1.0, 1.0]
    assert ips["estimate"] > 1.0 and ips["outside_rewards"]
    # Its DR falls below every reward (its model starts at 0): flagged too.
    assert report["targets"][1]["estimators"]["dr"]["outside_rewards"]
    assert not report["targets"][0]["estimators"]["ips"]["outside_rewards"]
    assert main(argv + ["-q"]) == Exit.OK
    warning = [line for line in capsys.readouterr()[0].splitlines() if line.startswith("warning: estimates outside")]
    assert len(warning) == 1 and "greedy" in warning[0].split("] for ")[1].split(":")[0], warning


@pytest.mark.parametrize("planned, workers, everywhere", [
    ([([0, 1, 2, 3, 4, 5], True), ([6, 7, 8, 9, 10], False), ([11, 12, 13, 14], False)], 2, False),
    ([([], True), ([0, 1, 2], False)], 8, False),
    ([([0, 1, 2], True), ([3, 4], True)], 2, True),
    ([([0, 1], True)], 1, False),
])
def test_the_long_run_jobs_are_cut_for_the_workers_keeping_every_target_once(planned, workers, everywhere):
    from sorvane_cli.commands.sweep import balanced
    pieces = balanced(planned, workers, everywhere)
    assert sorted(k for members, _ in pieces for k in members) == sorted(k for members, _ in planned for k in members)
    if everywhere:
        assert all(with_baseline for _, with_baseline in pieces)
    else:
        assert sum(with_baseline for _, with_baseline in pieces) == 1
    if workers > 1:
        assert len(pieces) >= min(2 * workers, sum(len(m) for m, _ in planned)) // 2


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("method", ["longrun", "rejection", "weighted"])
def test_rewards_at_the_edge_of_the_float_range_are_evaluated_not_a_crash(tmp_path, capsys, method):
    # Sums of such rewards leave the float range part way (math.fsum raises there).
    path = tmp_path / "huge.log"
    state = sorvane.create(8, 1e9, epsilon=0.5, forgetfulness=1.0)
    with open(path, "w") as log:
        for i in range(60):
            record = sorvane.decide(state, {"u": i % 3}, [("a", {}), ("b", {})], float(i), "h")
            log.write(sorvane.log_line(record) + "\n")
            reward = 1e308 if i % 2 else -1e308
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, float(i))) + "\n")
    report = run_json(capsys, "eval", str(path), "--horizon", "1e9", "--epsilon", "0.5", "--forgetfulness", "1.0",
                      "--target", "epsilon=0.1", "--method", method, "--bootstrap", "50")
    assert [t["name"] for t in report["targets"]] == ["logging", "epsilon=0.1"]
