"""The demo a newcomer runs first: it must learn, log every event once, and reload exactly."""
import importlib.util
import io
import json
import sys
from pathlib import Path

import pytest

import sorvane
from conftest import SANITIZED
from sorvane_cli.log.snapshot import scalar_fields as snapshot_fields

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
# Enough visits for the engine to find its feet: a couple of seconds. The
# sanitizer build learns exactly the same, only slower, so it runs a shorter shop.
VISITS = 8_000 if SANITIZED else 40_000

DECISION_KEYS = ["event", "bits", "context", "candidates", "record"]
RECORD_KEYS = ["decision_id", "t", "candidate_hash", "chosen", "features", "propensity", "model_version", "salt"]
RESOLUTION_KEYS = ["event", "decision_id", "kind", "reward"]


def load_demo():
    sys.path.insert(0, str(EXAMPLES))  # as when the demo runs as a script: its helpers beside it
    spec = importlib.util.spec_from_file_location("sorvane_demo", EXAMPLES / "demo.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


demo = load_demo()


@pytest.fixture(scope="module")
def small_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    outcome = demo.run(VISITS, 1, out / "experience.jsonl", out / "state.hex", 4)
    return outcome, out


def test_log_holds_one_decision_line_per_decision_and_one_resolution_per_decision(small_run):
    outcome, out = small_run
    catalogue = json.loads(json.dumps(demo.World(1).candidates))
    decided, seen, resolved = [], set(), {}
    with open(out / "experience.jsonl", encoding="utf-8") as log:
        header = json.loads(log.readline())
        assert header == {"event": "header", "version": 1, "bits": demo.BITS, "horizon": demo.HORIZON,
                          "default_reward": 0.0, "epsilon": demo.EPSILON, "forgetfulness": demo.FORGETFULNESS}
        for number, text in enumerate(log, 2):
            line = json.loads(text)
            if line["event"] == "decision":
                assert list(line) == DECISION_KEYS, number
                record = line["record"]
                assert list(record) == RECORD_KEYS, number
                assert line["bits"] == demo.BITS and line["candidates"] == catalogue
                assert sorted(line["context"]) == ["country", "daypart", "device", "returning"]
                assert 0 <= record["chosen"] < len(catalogue) and 0.0 < record["propensity"] <= 1.0
                indices = [index for index, _ in record["features"]]
                assert indices == sorted(set(indices)) and indices[-1] < 2**demo.BITS
                decided.append(record["decision_id"])
                seen.add(record["decision_id"])
            else:
                assert list(line) == RESOLUTION_KEYS, number
                decision_id = line["decision_id"]
                assert decision_id not in resolved, f"line {number} resolves {decision_id} twice"
                assert decision_id in seen, f"line {number} resolves no earlier decision"
                expected = {"rewarded": 1.0, "expired": 0.0}[line["kind"]]
                assert line["reward"] == expected, number
                resolved[decision_id] = line["kind"]

    # One decision per visit, numbered without a gap across the reload, each resolved once.
    assert decided == [f"{demo.SALT}:{n}" for n in range(VISITS)]
    assert sorted(resolved) == sorted(decided)
    kinds = list(resolved.values())
    assert (kinds.count("rewarded"), kinds.count("expired")) == (outcome.rewarded, outcome.expired)
    assert outcome.decisions == VISITS


@pytest.mark.skipif(SANITIZED, reason="the same numbers as without the sanitizers")
def test_engine_ends_well_above_random_and_above_the_best_single_item(small_run):
    outcome, _ = small_run
    first, last = outcome.stretches[0], outcome.stretches[-1]
    engine, random, best = (last.engine / last.visits, last.random / last.visits, last.best / last.visits)
    assert engine > 1.3 * random
    assert engine > outcome.single_item
    assert engine < best
    assert engine > first.engine / first.visits


def test_state_saved_half_way_reloads_exactly(small_run):
    outcome, out = small_run
    assert outcome.reload_exact
    text = (out / "state.hex").read_text(encoding="ascii")
    assert sorvane.serialize(sorvane.deserialize(text)) == text
    assert snapshot_fields(text)["decision_count"] == VISITS // 2


@pytest.mark.parametrize("with_matplotlib", [True, False])
def test_demo_prints_its_table_and_writes_its_files(tmp_path, monkeypatch, capsys, with_matplotlib):
    if with_matplotlib:
        pytest.importorskip("matplotlib")
    else:
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # the import now fails
    status = demo.main(["--visits", "2000", "--rows", "2", "--out", str(tmp_path), "--no-verify"])
    printed = capsys.readouterr()
    assert status == 0
    assert "came back exact" in printed.out
    assert printed.out.count("%") >= 2 * 4 and "1,001-2,000" in printed.out
    assert (tmp_path / "experience.jsonl").stat().st_size > 0
    state = tmp_path / "state.hex"
    assert f"({demo.megabytes(state.stat().st_size)})" in printed.out
    for command in demo.toolkit_commands(tmp_path / "experience.jsonl"):
        assert f"\n  {command}\n" in printed.out
    plot = tmp_path / "learning-curve.png"
    if with_matplotlib:
        assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert not plot.exists() and "matplotlib is not installed" in printed.out
    assert printed.err == ""  # no progress bar when stderr is not a terminal


def test_demo_checkpoints_prove_its_log_in_segments(tmp_path, capsys):
    from sorvane_cli.__main__ import main as sorvane_cli

    demo.run(2000, 1, tmp_path / "experience.jsonl", tmp_path / "state.hex", 4, checkpoints=tmp_path / "checkpoints")
    assert sorted(p.name for p in (tmp_path / "checkpoints").iterdir()) == [
        "state-000000500.hex", "state-000001000.hex", "state-000001500.hex"]
    # The demo's closing command, run here.
    flags = ["--horizon", repr(demo.HORIZON), "--epsilon", repr(demo.EPSILON), "--forgetfulness",
             repr(demo.FORGETFULNESS), "--checkpoints", str(tmp_path / "checkpoints"), "--workers", "2", "-q"]
    status = sorvane_cli(["verify", str(tmp_path / "experience.jsonl"), *flags])
    printed = capsys.readouterr()
    assert status == 0, printed.err
    assert "3 checkpoints" in printed.out and "verified" in printed.out


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, drawn", [(io.StringIO(), False), (Terminal(), True)])
def test_progress_bar_is_drawn_only_on_a_terminal(stream, drawn):
    progress = demo.Progress(100, stream)
    for done in range(1, 101):
        progress.update(done)
    progress.close()
    assert ("100/100 visits" in stream.getvalue()) == drawn


def test_the_commands_the_demo_prints_verify_and_evaluate_its_log_without_flags(small_run, capsys):
    from sorvane_cli.__main__ import main
    _, out = small_run
    for command in demo.toolkit_commands(out / "experience.jsonl"):
        argv = command.split()[1:] + ["-q"]
        assert main(argv) == 0, capsys.readouterr()
    assert "verified" in capsys.readouterr().out
