"""sorvane eval: off-policy estimates against simulations whose truth is known."""
import json
import os
import random

import pytest

import sorvane
from sorvane_cli.__main__ import main
from sorvane_cli.evaluation.targets import Target
from sorvane_cli.evaluation.learners import Learner
from sorvane_cli.policy import builtin_probabilities

# Reward probability of each candidate for each value of the context's "g".
KEYS = ("k0", "k1", "k2")
MU = {"a": (0.2, 0.5, 0.7), "b": (0.6, 0.3, 0.4), "c": (0.1, 0.8, 0.5)}
EPSILON = 0.3


def epsilon_greedy(estimates, epsilon):
    best = max(estimates)
    ties = estimates.count(best)
    return [(1.0 - epsilon) / ties + epsilon / len(estimates) if e == best else epsilon / len(estimates)
            for e in estimates]


def simulate(path, seed, decisions=400, pending=0):
    """Writes a log of a learning epsilon-greedy policy in a world where
    every candidate's reward probability is known. Returns the true values,
    over the resolved decisions, of the logging policy (its own probabilities
    times the reward probabilities) and of the uniform policy."""
    rng = random.Random(seed)
    state = sorvane.create(8, 1e9, epsilon=EPSILON, forgetfulness=1.0)
    seen = {}

    def explore(estimates, epsilon):
        # The built-in rule, written out so the test knows every probability.
        seen["p"] = epsilon_greedy(estimates, epsilon)
        return seen["p"]

    logging_value = uniform_value = 0.0
    resolved = decisions - pending
    with open(path, "w") as log:
        for i in range(decisions):
            g = rng.choice("abc")
            candidates = [(k, {"p": float(j)}) for j, k in enumerate(KEYS)]
            record = sorvane.decide(state, {"g": g}, candidates, float(i), f"run{seed}", explore=explore)
            log.write(sorvane.log_line(record) + "\n")
            mu = MU[g]
            reward = 1.0 if rng.random() < mu[record.chosen] else 0.0
            if i < resolved:
                logging_value += sum(p * m for p, m in zip(seen["p"], mu))
                uniform_value += sum(mu) / len(mu)
                resolution = sorvane.learn(state, record.decision_id, reward, float(i))
                log.write(sorvane.log_line(resolution) + "\n")
    return {"logging": logging_value / resolved, "uniform": uniform_value / resolved}


def evaluate(path, capsys, *extra):
    status = main(["eval", str(path), "--method", "weighted", "--epsilon", str(EPSILON), "--forgetfulness", "1.0",
                   "--json", "-q",
                   "--target", "epsilon=1,name=uniform"] + list(extra))
    out, err = capsys.readouterr()
    assert status == 0, err
    return json.loads(out)


def coverage(tmp_path, capsys, runs):
    """Share of seeded runs in which each interval holds the truth, by
    (target, estimator, interval kind)."""
    hits = {}
    for seed in range(runs):
        path = tmp_path / f"sim{seed}.log"
        truth = simulate(path, seed)
        report = evaluate(path, capsys, "--bootstrap", "300", "--seed", str(seed))
        for target in report["targets"]:
            for name, e in target["estimators"].items():
                for kind in ("ci_bootstrap", "ci_normal"):
                    lo, hi = e[kind]
                    key = (target["name"], name, kind)
                    hits[key] = hits.get(key, 0) + (lo <= truth[target["name"]] <= hi)
    return {key: count / runs for key, count in hits.items()}


# Coverage is measured as: for each target (the logging policy and the uniform
# policy), each estimator (IPS, SNIPS, DR) and each 95% interval (bootstrap and
# normal), the share of independently seeded simulated logs whose interval
# contains that log's true value. The always-on run uses 12 logs; set
# SORVANE_SLOW_TESTS=1 for the full 50, where every share must reach 90%.
@pytest.mark.skipif(bool(os.environ.get("SORVANE_SANITIZED")), reason="many runs; slow under ASan")
def test_estimates_land_within_their_intervals_of_the_known_truth(tmp_path, capsys):
    full = bool(os.environ.get("SORVANE_SLOW_TESTS"))
    shares = coverage(tmp_path, capsys, 50 if full else 12)
    assert len(shares) == 2 * 3 * 2
    if full:
        assert min(shares.values()) >= 0.9, shares
    else:
        assert sum(shares.values()) / len(shares) >= 0.9, shares
        assert min(shares.values()) >= 0.75, shares


def test_the_logging_policy_weighs_every_decision_once(tmp_path, capsys):
    # Evaluated on its own log, the logging configuration gives each logged
    # choice the probability it was drawn with: IPS and SNIPS are the mean reward.
    path = tmp_path / "sim.log"
    simulate(path, 7, decisions=200, pending=20)
    report = evaluate(path, capsys)
    rewards = [json.loads(line)["reward"] for line in path.read_text().splitlines()
               if '"event":"resolution"' in line]
    baseline = report["targets"][0]
    assert baseline["name"] == "logging" and baseline["n"] == 180 == report["resolved"]
    assert baseline["ess"] == pytest.approx(180)
    mean = sum(rewards) / len(rewards)
    assert baseline["estimators"]["ips"]["estimate"] == pytest.approx(mean, abs=1e-12)
    assert baseline["estimators"]["snips"]["estimate"] == pytest.approx(mean, abs=1e-12)
    assert report["pending_share"] == pytest.approx(0.1)
    uniform = report["targets"][1]
    assert uniform["ess"] < 180


def test_several_targets_compare_in_one_table(tmp_path, capsys):
    path = tmp_path / "sim.log"
    simulate(path, 3, decisions=150)
    status = main(["eval", str(path), "--method", "both", "--epsilon", str(EPSILON), "-q",
                   "--target", "epsilon=0.05,bits=12",
                   "--target", "forgetfulness=0.9,default_reward=-1.0,name=forgetful"])
    out, _ = capsys.readouterr()
    assert status == 0
    for name in ("logging", "epsilon=0.05,bits=12", "forgetful", "IPS", "SNIPS", "DR", "95% CI bootstrap",
                 "rejection sampling", "kept share"):
        assert name in out


def test_the_bootstrap_is_the_same_for_the_same_seed(tmp_path, capsys):
    path = tmp_path / "sim.log"
    simulate(path, 5, decisions=120)
    first = evaluate(path, capsys, "--seed", "4")
    assert evaluate(path, capsys, "--seed", "4") == first
    assert evaluate(path, capsys, "--seed", "5") != first


def test_plot_draws_the_running_estimates_or_says_what_to_install(tmp_path, capsys):
    path = tmp_path / "sim.log"
    simulate(path, 1, decisions=60)
    png = tmp_path / "p.png"
    status = main(["eval", str(path), "-q", "--plot", str(png), "--target", "epsilon=1"])
    _, err = capsys.readouterr()
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert status == 2 and "pip install 'sorvane[plot]'" in err and "Traceback" not in err
        return
    assert status == 0 and png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_eval_continues_from_a_saved_state(tmp_path, capsys):
    # The baseline starts from the saved state and learns the outcomes of the
    # decisions it still had pending; the other targets start afresh.
    first, rest = tmp_path / "first.log", tmp_path / "rest.log"
    simulate(first, 2, decisions=50, pending=10)
    state = sorvane.create(8, 1e9, epsilon=EPSILON, forgetfulness=1.0)
    for line in first.read_text().splitlines():
        obj = json.loads(line)
        if obj["event"] == "decision":
            r = obj["record"]
            sorvane.decide(state, obj["context"], [tuple(c) for c in obj["candidates"]], r["t"], r["salt"],
                           explore=epsilon_greedy)
        else:
            sorvane.learn(state, obj["decision_id"], obj["reward"], float("nan"))
    saved = tmp_path / "saved.hex"
    saved.write_text(sorvane.serialize(state))
    with open(rest, "w") as log:
        for resolution in sorvane.expire(state, 2e9):
            log.write(sorvane.log_line(resolution) + "\n")
    simulate(tmp_path / "more.log", 3, decisions=30)
    rest.write_text(rest.read_text() + (tmp_path / "more.log").read_text())
    status = main(["eval", str(rest), "--from-state", str(saved), "--json", "-q", "--target", "epsilon=1",
                   "--method", "both"])
    out, err = capsys.readouterr()
    assert status == 0, err
    report = json.loads(out)
    assert report["decisions"] == 30 and report["resolved"] == 30
    assert [t["n"] for t in report["targets"]] == [30, 30]
    assert [t["rejection"]["offered"] for t in report["targets"]] == [150, 150]


def simulate_batched(path, periods=30):
    """A log whose host resolves in batches: the clicks of a period as they
    come, then everything else through expire() (at the default reward 0)."""
    rng = random.Random(11)
    state = sorvane.create(8, 50.0, epsilon=EPSILON, forgetfulness=1.0)
    with open(path, "w") as log:
        for period in range(periods):
            clicks = []
            for i in range(40):
                t = period * 100.0 + i
                g = rng.choice("abc")
                record = sorvane.decide(state, {"g": g}, [(k, {}) for k in KEYS], t, "b")
                log.write(sorvane.log_line(record) + "\n")
                if rng.random() < MU[g][record.chosen]:
                    clicks.append(record.decision_id)
            for decision_id in clicks:
                log.write(sorvane.log_line(sorvane.learn(state, decision_id, 1.0, period * 100.0 + 45)) + "\n")
            for resolution in sorvane.expire(state, period * 100.0 + 95):
                log.write(sorvane.log_line(resolution) + "\n")


def test_batched_resolutions_do_not_widen_the_bootstrap(tmp_path, capsys):
    # In resolution order the rewards are sorted into runs of ones and
    # zeros; the bootstrap must follow the decisions' order instead, where
    # nothing is clustered.
    path = tmp_path / "batched.log"
    simulate_batched(path)
    report = evaluate(path, capsys)
    ips = report["targets"][0]["estimators"]["ips"]
    width = ips["ci_bootstrap"][1] - ips["ci_bootstrap"][0]
    normal = ips["ci_normal"][1] - ips["ci_normal"][0]
    assert 0.75 < width / normal < 1.33, (width, normal)


OTHERS = ["epsilon=0.6", "forgetfulness=0.9", "default_reward=-1.0", "bits=2", "epsilon=0.6,name=twin"]


@pytest.mark.parametrize("setting, like_the_logging_policy", [
    ("name=same", True),
    ("epsilon=0.6", False),
    ("forgetfulness=0.9", False),
    ("default_reward=-1.0", False),
    ("bits=2", False),
])
def test_a_target_comes_out_the_same_whichever_targets_run_beside_it(tmp_path, capsys, setting,
                                                                     like_the_logging_policy):
    # Targets whose models cannot differ may share a state; a target that
    # trains otherwise (bits, forgetfulness, the default reward of the many
    # expired decisions) must not, and each keeps its own epsilon.
    path = tmp_path / "batched.log"
    simulate_batched(path, periods=8)
    flags = ["--horizon", "50", "--epsilon", str(EPSILON), "--forgetfulness", "1.0", "--json", "-q",
             "--method", "weighted"]

    def targets(settings):
        argv = ["eval", str(path)] + flags
        for one in settings:
            argv += ["--target", one]
        status = main(argv)
        out, err = capsys.readouterr()
        assert status == 0, err
        return {t["name"]: t for t in json.loads(out)["targets"]}

    name = setting.split("=")[1] if setting.startswith("name=") else setting
    alone = targets([setting])
    for crowd in (targets(OTHERS + [setting]), targets([setting] + OTHERS[::-1])):
        assert crowd[name] == alone[name]
        assert crowd["logging"] == alone["logging"]
    same = alone[name]["estimators"] == alone["logging"]["estimators"]
    assert same == like_the_logging_policy


NAN = float("nan")


@pytest.mark.parametrize("estimates", [
    [0.1, 0.7, 0.3],
    [0.5, 0.5, 0.5, 0.5],
    [0.2, 0.9, 0.9, -0.4],
    [0.0, -0.0, -1.0],
    [NAN, 0.3, 0.2],
    [0.3, NAN, 0.8],
    [2.5],
], ids=["one best", "all tie", "two tie", "signed zeros", "nan first", "nan later", "one candidate"])
def test_every_target_sees_its_own_epsilon_greedy_probabilities(estimates):
    # One state learns for several epsilons; what each target records for
    # the logged choice must be the built-in rule's, bit for bit.
    epsilons = [0.0, 0.05, 0.3, 1.0]
    learner = Learner(None, [Target(f"e{e}", 8, e, 0.99, 0.0, 10.0) for e in epsilons])
    for chosen in range(len(estimates)):
        learner._chosen = chosen
        steer = learner._explore(list(estimates), epsilons[0])
        assert list(steer) == [1.0 if k == chosen else 0.0 for k in range(len(estimates))]
        for eps, seen in zip(epsilons, learner._seen):
            p = builtin_probabilities(list(estimates), eps)
            expected = (p[chosen], sum(a * b for a, b in zip(p, estimates)), estimates[chosen])
            assert [repr(v) for v in seen] == [repr(v) for v in expected], (eps, chosen)
