"""`sorvane inspect`: what a saved state or joint model holds, and the features behind its heaviest weights."""
import gzip
import io
import json
import sys

import pytest
from logs import shop_run, write_run

import sorvane
from sorvane_cli import JointModel, estimates, save_together
from sorvane_cli.__main__ import main
from sorvane_cli.log.state_contents import StateContents
from sorvane_cli.status import Exit
from sorvane_cli.term_pairs import PairHasher

def inspect(argv, capsys):
    status = main(["inspect", *argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in out + err
    return status, out, err


@pytest.fixture(scope="module")
def shop(tmp_path_factory):
    folder = tmp_path_factory.mktemp("shop")
    state = shop_run(folder / "shop.log")
    (folder / "shop.state").write_text(sorvane.serialize(state))
    return folder


def test_a_fresh_state_shows_its_configuration_and_an_empty_model(tmp_path, capsys):
    path = tmp_path / "fresh.state"
    path.write_text(sorvane.serialize(sorvane.create(12, horizon=30.0, default_reward=-1.0, epsilon=0.2,
                                                     forgetfulness=0.9)))
    status, out, _ = inspect([str(path), "--json"], capsys)
    report = json.loads(out)
    assert status == Exit.OK
    assert report["configuration"] == {"bits": 12, "horizon": 30.0, "default_reward": -1.0, "epsilon": 0.2,
                                       "forgetfulness": 0.9}
    assert (report["decision_count"], report["model_version"]) == (0, 0)
    assert report["pending"] == {"count": 0, "oldest_t": None, "newest_t": None, "oldest": []}
    assert report["model"]["trained_coordinates"] == 0 and report["model"]["weight_range"] is None
    assert report["estimate_range"] is None and report["heaviest"] == []


@pytest.mark.parametrize("stdin", [False, True])
def test_a_trained_state_shows_its_counters_pending_decisions_and_weights(tmp_path, stdin, capsys, monkeypatch):
    state = write_run(tmp_path / "run.log", decisions=60)
    text = sorvane.serialize(state)
    (tmp_path / "run.state.gz").write_bytes(gzip.compress(text.encode()))
    if stdin:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO((tmp_path / "run.state.gz").read_bytes())))
    status, out, _ = inspect(["-" if stdin else str(tmp_path / "run.state.gz"), "--json", "--oldest", "2"], capsys)
    report = json.loads(out)
    contents = StateContents(text)
    pending = sorted(contents.records, key=lambda r: r.t)
    assert status == Exit.OK and report["decision_count"] == 60
    assert report["pending"] == {"count": len(pending), "oldest_t": pending[0].t, "newest_t": pending[-1].t,
                                 "oldest": [r.decision_id for r in pending[:2]]}
    weights = [contents.weight(i) for i in contents.trained()]
    assert report["model"]["trained_coordinates"] == len(weights) > 0
    assert report["model"]["weight_range"] == [min(w for w in weights if w), max(weights)]
    heaviest = report["heaviest"]
    assert [abs(h["weight"]) for h in heaviest] == sorted((abs(w) for w in weights), reverse=True)[:10]
    # The text report says the same.
    status, out, _ = inspect([str(tmp_path / "run.state.gz")], capsys)
    assert f"pending: {len(pending)} decisions" in out and f"oldest: {pending[0].decision_id}" in out


def test_a_bits_24_state_is_read_whole(tmp_path, capsys):
    state = sorvane.create(24, horizon=5.0)
    record = sorvane.decide(state, {"u": "v"}, [("x", {"n": 2.0})], 0.0, "s")
    sorvane.learn(state, record.decision_id, 1.0, 1.0)
    sorvane.decide(state, {}, [("x", {})], 2.0, "s")
    (tmp_path / "big.state").write_text(sorvane.serialize(state))
    status, out, _ = inspect([str(tmp_path / "big.state"), "--json"], capsys)
    report = json.loads(out)
    assert status == Exit.OK and report["model"]["dim"] == 1 << 24
    # The six pairs of the trained decision, the bias x bias pair at its fixed coordinate among them.
    assert report["model"]["trained_coordinates"] == 6
    assert 8636187 in [h["coordinate"] for h in report["heaviest"]]
    assert report["pending"]["count"] == 1 and report["pending"]["oldest"] == ["s:1"]


def test_the_heaviest_features_named_from_the_log_are_the_ones_that_earned_the_rewards(shop, capsys):
    status, out, _ = inspect([str(shop / "shop.state"), "--log", str(shop / "shop.log"), "--json", "--top", "1"],
                             capsys)
    report = json.loads(out)
    assert status == Exit.OK and report["log"]["decisions"] == 3000
    [top] = report["heaviest"]
    assert [(p["context"], p["candidate"]) for p in top["pairs"]] == [("c|country=NZ", "i|b")]
    assert top["collisions"] == 0 and top["pairs"][0]["effect"] > 0.9
    # The estimate range over the log's inputs is what decide would estimate for them.
    state = sorvane.deserialize((shop / "shop.state").read_text())
    lines = [json.loads(line) for line in (shop / "shop.log").read_text().splitlines()[::2]]
    estimated = [e for line in lines for e in
                 estimates(state, line["context"], [tuple(c) for c in line["candidates"]]).estimates]
    assert (report["log_estimate_range"]["min"], report["log_estimate_range"]["max"]) == \
        (min(estimated), max(estimated))
    status, out, _ = inspect([str(shop / "shop.state"), "--log", str(shop / "shop.log"), "--top", "1"], capsys)
    assert "c|country=NZ x i|b" in out


def test_a_pair_hashes_where_decide_puts_it(shop):
    with open(shop / "shop.log", encoding="utf-8") as log:
        for line in list(log)[:40:2]:
            decision = json.loads(line)
            record = decision["record"]
            candidate_id, features = decision["candidates"][record["chosen"]]
            vector = PairHasher(decision["bits"]).vector(decision["context"], candidate_id, features)
            assert vector == [tuple(pair) for pair in record["features"]]


@pytest.mark.parametrize("content, message", [
    (b"", "truncated state"),
    (b"not hex at all", "does not start with a sorvane state's magic"),
    (b"\xff\xfe", "not hexadecimal text"),
    (gzip.compress(b"736f7276616e6500")[:-4], "gzip data is damaged"),
])
def test_what_is_not_a_state_is_one_line_and_the_usage_status(tmp_path, content, message, capsys):
    path = tmp_path / "bad.state"
    path.write_bytes(content)
    if not content:
        path.write_text("736f7276616e6500")  # the magic alone: the engine's reader says what is wrong
    status, out, err = inspect([str(path)], capsys)
    assert status == Exit.USAGE and out == "" and message in err and len(err.splitlines()) == 1


@pytest.fixture(scope="module")
def joint_shop(tmp_path_factory):
    folder = tmp_path_factory.mktemp("joint_shop")
    model = JointModel(16, learning_rate=0.1, explore="epsilon-greedy")
    state = shop_run(folder / "shop.log", model=model)
    (folder / "shop.state.model").write_text(model.serialize())
    save_together(folder / "shop.together", state, model)
    return folder, model


@pytest.mark.parametrize("explore, rule", [
    ("epsilon-greedy", {"explore": "epsilon-greedy"}),
    ("squarecb", {"explore": "squarecb", "gamma_scale": 20.0, "gamma": 0.0}),
])
def test_a_fresh_joint_model_shows_its_settings_and_no_weights(explore, rule, tmp_path, capsys):
    model = JointModel(12, learning_rate=0.03, explore=explore, gamma_scale=20.0, initial_accumulator=0.5)
    (tmp_path / "fresh.model.gz").write_bytes(gzip.compress(model.serialize().encode()))
    status, out, _ = inspect([str(tmp_path / "fresh.model.gz"), "--json"], capsys)
    report = json.loads(out)
    assert status == Exit.OK and report["kind"] == "joint model" and report["updates"] == 0
    assert report["settings"] == {"bits": 12, "learning_rate": 0.03, **rule, "initial_accumulator": 0.5}
    assert report["model"] == {"dim": 4096, "trained_coordinates": 0, "nonzero_weights": 0, "weight_range": None,
                               "weight_rms": None}
    assert report["heaviest"] == [] and "estimate_range" not in report
    status, out, _ = inspect([str(tmp_path / "fresh.model.gz")], capsys)
    assert "learning rate 0.03" in out and f"explore {explore}" in out and "updates: 0" in out


def test_a_trained_joint_models_heaviest_feature_is_named_from_the_log(joint_shop, capsys):
    folder, model = joint_shop
    status, out, _ = inspect([str(folder / "shop.state.model"), "--log", str(folder / "shop.log"), "--json",
                              "--top", "3"], capsys)
    report = json.loads(out)
    assert status == Exit.OK and report["updates"] == model.updates == 3000
    assert report["log"]["decisions"] == 3000 and report["model"]["nonzero_weights"] > 0
    top = report["heaviest"][0]
    assert [(p["context"], p["candidate"]) for p in top["pairs"]] == [("c|country=NZ", "i|b")]
    assert top["pairs"][0]["effect"] > 0 and top["collisions"] == 0
    lo, hi = report["model"]["weight_range"]
    assert max(-lo, hi) == abs(top["weight"]) > 0
    # The estimate range over the log's inputs is the model's own scores of them.
    lines = [json.loads(line) for line in (folder / "shop.log").read_text().splitlines()[::2]]
    scored = [e for line in lines for e in model.score(line["context"], [tuple(c) for c in line["candidates"]])]
    assert (report["log_estimate_range"]["min"], report["log_estimate_range"]["max"]) == (min(scored), max(scored))
    status, out, _ = inspect([str(folder / "shop.state.model"), "--log", str(folder / "shop.log"), "--top", "1"],
                             capsys)
    assert "c|country=NZ x i|b" in out and "updates: 3,000" in out


def test_a_save_together_file_shows_the_state_and_its_joint_model(joint_shop, capsys):
    folder, model = joint_shop
    status, out, _ = inspect([str(folder / "shop.together"), "--log", str(folder / "shop.log"), "--json",
                              "--top", "1"], capsys)
    report = json.loads(out)
    assert status == Exit.OK and report["kind"].startswith("bandit state and joint model")
    assert report["bandit_state"]["decision_count"] == 3000 and report["joint_model"]["updates"] == 3000
    [top] = report["joint_model"]["heaviest"]
    assert [(p["context"], p["candidate"]) for p in top["pairs"]] == [("c|country=NZ", "i|b")]
    status, out, _ = inspect([str(folder / "shop.together")], capsys)
    assert "bandit state" in out and "joint model" in out and "updates: 3,000" in out


def _flip(text, at):
    return text[:at] + ("0" if text[at] != "0" else "1") + text[at + 1:]


@pytest.mark.parametrize("damage, message", [
    (lambda text: _flip(text, 200), "checksum mismatch"),
    (lambda text: text[:-16], "truncated joint model text"),
    (lambda text: text + "00", "trailing bytes"),
    (lambda text: text[:16] + "02" + text[18:], "unsupported joint model format version 2"),
    (lambda text: text[:100] + "zz" + text[102:], "must be a hexadecimal string"),
    (lambda text: sorvane.serialize(sorvane.create(4, horizon=1.0)) + "\n" + text[:-2], "truncated joint model"),
    (lambda text: sorvane.serialize(sorvane.create(5, horizon=1.0)) + "\n" + text, "the state has 5 bits"),
])
def test_a_damaged_joint_model_text_is_one_line_and_the_usage_status(damage, message, tmp_path, capsys):
    path = tmp_path / "bad.model"
    path.write_text(damage(JointModel(4).serialize()))
    status, out, err = inspect([str(path)], capsys)
    assert status == Exit.USAGE and out == "" and message in err and len(err.splitlines()) == 1
