"""`sorvane inspect`: what a saved state holds, and the features behind its heaviest weights."""
import gzip
import io
import json
import random
import sys

import pytest
from logs import write_run

import sorvane
from sorvane_cli import estimates
from sorvane_cli.__main__ import main
from sorvane_cli.log.state_contents import StateContents
from sorvane_cli.status import Exit
from sorvane_cli.term_pairs import PairHasher

COUNTRIES = ["NZ", "DE", "US"]
ITEMS = ["a", "b", "c", "d"]


def inspect(argv, capsys):
    status = main(["inspect", *argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in out + err
    return status, out, err


def shop_run(path, decisions=3000, bits=16):
    """Uniform exploration over four items; only item b shown in NZ earns a
    reward, so that pair is what drives the model."""
    state = sorvane.create(bits, horizon=10.0, epsilon=1.0, forgetfulness=1.0)
    rng = random.Random(5)
    with open(path, "w", encoding="utf-8") as log:
        for i in range(decisions):
            context = {"country": rng.choice(COUNTRIES), "device": rng.choice(["phone", "desk"]),
                       "hour": rng.randrange(24)}
            candidates = [(item, {"colour": colour}) for item, colour in zip(ITEMS, ["red", "blue", "blue", "red"])]
            record = sorvane.decide(state, context, candidates, float(i), "s")
            log.write(sorvane.log_line(record) + "\n")
            won = context["country"] == "NZ" and candidates[record.chosen][0] == "b"
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, 1.0 if won else 0.0, i + 1.0)) + "\n")
    return state


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
