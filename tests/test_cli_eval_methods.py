"""sorvane eval's two methods, and the checks every line gets though eval
does not use all it holds."""
import json
import re

import pytest

import sorvane
from sorvane_cli.__main__ import main
from sorvane_cli.evaluation.rejection import acceptance_uniform, bound
from sorvane_cli.status import Exit
from logs import FLAGS, lines_of, write_run

REWARD = {"a": 0.3, "b": 0.7}


def two_arm_log(path, decisions=400):
    """A log of a state that explores uniformly (epsilon 1) over two
    candidates whose rewards never vary: a greedy target sticks to whichever
    it learns first, earning 0.3 or 0.7, half the time each."""
    state = sorvane.create(8, 1e9, epsilon=1.0, forgetfulness=1.0)
    with open(path, "w") as log:
        for i in range(decisions):
            record = sorvane.decide(state, {"u": 1}, [("a", {}), ("b", {})], float(i), "two")
            log.write(sorvane.log_line(record) + "\n")
            reward = REWARD["ab"[record.chosen]]
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, float(i))) + "\n")


def evaluate(path, capsys, *extra):
    status = main(["eval", str(path), "--json", "-q", "--forgetfulness", "1.0", "--bootstrap", "200"] + list(extra))
    out, err = capsys.readouterr()
    assert status == Exit.OK, out + err
    return json.loads(out)


def test_rejection_sampling_simulates_a_greedy_target_s_own_run_where_weighting_does_not(tmp_path, capsys):
    path = tmp_path / "two.log"
    two_arm_log(path)
    rejection, weighted = [], None
    for seed in range(12):
        report = evaluate(path, capsys, "--target", "epsilon=0", "--method", "both", "--seed", str(seed))
        greedy = report["targets"][1]
        run = greedy["rejection"]
        # Each replay is one run: stuck on one candidate from its first kept event on.
        for estimate in run["replay_estimates"]:
            assert estimate in (pytest.approx(0.3), pytest.approx(0.7)), run
        rejection += run["replay_estimates"]
        assert run["ci"][0] <= run["estimate"] <= run["ci"][1]
        weighted = greedy["estimators"]["ips"]["estimate"]
    # Learning from every logged choice, the weighted target knows b is better.
    assert weighted > 0.65
    assert 0.35 < sum(rejection) / len(rejection) < 0.65, rejection
    assert report["rejection"]["bound"] == 2.0


def test_rejection_keeps_about_one_event_in_m_the_same_ones_for_the_same_seed(tmp_path, capsys):
    path = tmp_path / "run.log"
    write_run(path, decisions=300)
    rejection = ("--method", "rejection")
    first = evaluate(path, capsys, "--target", "epsilon=0.5", "--seed", "3", *rejection, *FLAGS[:-1])
    assert first == evaluate(path, capsys, "--target", "epsilon=0.5", "--seed", "3", *rejection, *FLAGS[:-1])
    assert first != evaluate(path, capsys, "--target", "epsilon=0.5", "--seed", "4", *rejection, *FLAGS[:-1])
    m = first["rejection"]["bound"]
    assert m == bound(0.2, [0.2, 0.5], range(2, 7))
    for target in first["targets"]:
        run = target["rejection"]
        # Each target's own bound: its estimate does not depend on the others passed.
        own = bound(0.2, [target["config"]["epsilon"]], range(2, 7))
        assert run["bound"] == own <= m
        assert run["replays"] == 5 and run["offered"] == 5 * 300 and run["over_bound"] == 0
        assert 0.3 / own < run["kept_share"] < 3.0 / own, (own, run)
        assert "estimators" not in target


def test_rejection_intervals_come_from_the_spread_of_the_replays(tmp_path, capsys):
    path = tmp_path / "run.log"
    write_run(path, decisions=300)
    run = evaluate(path, capsys, "--replays", "3", "--method", "rejection", *FLAGS[:-1])["targets"][0]["rejection"]
    means = run["replay_estimates"]
    assert len(means) == 3 and run["estimate"] == pytest.approx(sum(means) / 3)
    spread = (sum((m - run["estimate"]) ** 2 for m in means) / 2 / 3) ** 0.5
    assert run["stderr"] == pytest.approx(spread)
    assert run["ci"] == pytest.approx([run["estimate"] - 4.303 * spread, run["estimate"] + 4.303 * spread])


def test_the_acceptance_draw_depends_on_seed_and_id_alone():
    draws = [acceptance_uniform(seed, f"s:{i}") for seed in range(3) for i in range(2000)]
    assert all(0.0 <= u < 1.0 for u in draws) and len(set(draws)) == len(draws)
    assert abs(sum(draws) / len(draws) - 0.5) < 0.02
    assert acceptance_uniform(7, "x:1") == acceptance_uniform(7, "x:1", 0) != acceptance_uniform(7, "x:1", 1)


DAMAGED_FEATURES = {
    "a text value": (lambda m: m.group(1) + ',"x"]', "malformed"),
    "a fractional index": (lambda m: m.group(1) + ".5," + m.group(2) + "]", "malformed"),
    "a missing bracket": (lambda m: m.group(1) + "," + m.group(2), "not-json"),
    "a cut list": (lambda m: m.group(1) + "," + m.group(2) + "]]x", "not-json"),
}


@pytest.mark.parametrize("damage", sorted(DAMAGED_FEATURES))
def test_a_damaged_feature_list_fails_eval_as_it_fails_verify(tmp_path, damage, capsys):
    path = tmp_path / "run.log"
    write_run(path)
    lines = path.read_text().splitlines()
    index = lines_of(path, "decision")[6]
    change, kind = DAMAGED_FEATURES[damage]
    lines[index] = re.sub(r'("features":\[\[\d+),([^\]]+)\]', change, lines[index], count=1)
    path.write_text("\n".join(lines) + "\n")
    reports = {}
    for command in ("verify", "eval"):
        status = main([command, str(path), "--json"] + FLAGS)
        out, _ = capsys.readouterr()
        assert status == Exit.PROBLEMS
        reports[command] = json.loads(out)
    assert reports["eval"]["evaluated"] is False
    assert reports["eval"]["first"] == reports["verify"]["first"]
    assert reports["eval"]["first"][0]["line"] == index + 1 and reports["eval"]["first"][0]["kind"] == kind


def test_eval_on_a_bad_log_reports_its_problems_as_text_or_json(tmp_path, capsys):
    path = tmp_path / "run.log"
    write_run(path)
    lines = path.read_text().splitlines()
    lines.insert(4, "garbage")
    path.write_text("\n".join(lines) + "\n")
    assert main(["eval", str(path)] + FLAGS) == Exit.PROBLEMS
    out, _ = capsys.readouterr()
    assert "line 5: not JSON: Expecting value at column 1" in out and "not JSON: not JSON" not in out
    assert out.splitlines()[-1].startswith("NOT EVALUATED")


@pytest.mark.parametrize("method", ["rejection", "weighted"])
def test_no_bootstrap_means_no_bootstrap_interval_not_nan(tmp_path, method, capsys):
    path = tmp_path / "run.log"
    write_run(path)
    assert main(["eval", str(path), "--bootstrap", "0", "--method", method] + FLAGS) == Exit.OK
    out, _ = capsys.readouterr()
    assert "nan" not in out and "bootstrap: none" in out
    assert main(["eval", str(path), "--bootstrap", "0", "--json", "--method", method] + FLAGS) == Exit.OK
    target = json.loads(capsys.readouterr()[0])["targets"][0]
    if method == "rejection":
        assert target["rejection"]["ci"][0] <= target["rejection"]["estimate"]
    else:
        summary = target["estimators"]["ips"]
        assert summary["ci_bootstrap"] is None and summary["ci_normal"][0] <= summary["estimate"]
