"""The README is what a newcomer copies: its commands and its usage example must work as written."""
import json
import re
from pathlib import Path

README = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")


def blocks(language):
    return re.findall(rf"```{language}\n(.*?)```", README, re.S)


def test_readme_opens_with_the_two_commands():
    first = blocks("sh")[0].splitlines()
    assert first == [
        "python3 -m pip install '.[demo]' && python3 examples/demo.py",
        "python3 -m pip install '.[test]' && python3 -m pytest -q",
    ]
    assert README.index("```sh") < README.index("\n## ")


def test_usage_example_runs_and_logs_what_it_says(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(compile(blocks("python")[0], "README usage", "exec"), namespace)
    lines = [json.loads(text) for text in (tmp_path / "experience.jsonl").read_text().splitlines()]
    assert [line["event"] for line in lines] == ["decision", "resolution"]
    assert lines[1] == {"event": "resolution", "decision_id": "web-1:0", "kind": "rewarded", "reward": 1.0}
    assert namespace["shown"] in ("tea", "juice")


def test_usage_example_run_twice_leaves_a_log_verify_proves(tmp_path, monkeypatch, cli):
    monkeypatch.chdir(tmp_path)
    for _ in range(2):
        exec(compile(blocks("python")[0], "README usage", "exec"), {})
    status, out, _ = cli("verify", tmp_path / "experience.jsonl")
    assert status == 0 and out.splitlines()[-1].startswith("verified")


def test_log_format_example_lines_are_what_the_module_writes():
    decision, resolution = (json.loads(text) for text in blocks("json")[0].splitlines())
    assert list(decision) == ["event", "bits", "context", "candidates", "record"]
    assert list(decision["record"]) == [
        "decision_id", "t", "candidate_hash", "chosen", "features", "propensity", "model_version", "salt"]
    assert list(resolution) == ["event", "decision_id", "kind", "reward"]
