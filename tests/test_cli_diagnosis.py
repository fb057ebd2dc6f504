"""When a decision does not reproduce, verify names its first cause: a
configuration the log does not fix, a changed line, or the host's own
policy; the lines that follow from one cause are counted under it."""
import json
import math

import pytest

import sorvane
from sorvane_cli.__main__ import main
from sorvane_cli.status import Exit
from logs import CONFIG, FLAGS, flip_line, lines_of, write_run


def verify(path, capsys, flags=FLAGS):
    status = main(["verify", str(path), "--json", "--show", "1000"] + flags)
    out, err = capsys.readouterr()
    return status, json.loads(out)


@pytest.fixture
def long_run(tmp_path):
    path = tmp_path / "run.log"
    write_run(path, decisions=300)
    return path


def test_a_forgetfulness_the_log_cannot_show_is_one_cause_with_its_consequences(long_run, capsys):
    flags = [f if f != "0.98" else "0.999" for f in FLAGS]
    status, report = verify(long_run, capsys, flags)
    assert status == Exit.PROBLEMS
    assert report["mismatches"] == {"diverged": 1}, report["mismatches"]
    first = report["first"][0]
    assert "--forgetfulness 0.999" in first["message"] and first["follow_on"] >= 1
    assert "host-policy" not in report["mismatches"]


def test_a_forgetfulness_left_out_is_named_as_the_likely_cause(long_run, capsys):
    status, report = verify(long_run, capsys, ["-q"])
    assert status == Exit.PROBLEMS and report["mismatches"] == {"diverged": 1}
    assert "nothing in the log gives --forgetfulness" in report["first"][0]["message"]


def test_a_changed_choice_is_one_problem_and_the_rest_still_verifies(long_run, capsys):
    index = lines_of(long_run, "decision")[40]
    lines = long_run.read_text().splitlines()
    obj = json.loads(lines[index])
    original = obj["record"]["chosen"]
    flip_line(long_run, index, lambda o: o["record"].update(chosen=(original + 1) % len(o["candidates"])))
    status, report = verify(long_run, capsys)
    assert status == Exit.PROBLEMS
    assert report["problems"] == 1 and report["mismatches"] == {"record-mismatch": 1}, report["first"]
    finding = report["first"][0]
    assert finding["line"] == index + 1 and f"those of candidate {original}" in finding["message"]


@pytest.mark.parametrize("direction", [0.0, 1.0])
def test_a_propensity_changed_in_its_last_bit_is_a_changed_line_not_a_host_decision(long_run, direction, capsys):
    index = lines_of(long_run, "decision")[25]
    flip_line(long_run, index, lambda o: o["record"].update(
        propensity=math.nextafter(o["record"]["propensity"], direction)))
    status, report = verify(long_run, capsys)
    assert status == Exit.PROBLEMS
    assert report["mismatches"] == {"record-mismatch": 1} and report["first"][0]["line"] == index + 1
    assert "last digits" in report["first"][0]["message"]


def test_with_a_header_the_cause_is_an_earlier_change(tmp_path, capsys):
    from sorvane_cli import header_line
    path = tmp_path / "run.log"
    path.write_text(header_line(10, **CONFIG) + "\n")
    write_run(path, decisions=300, state=sorvane.create(10, **CONFIG))
    # A changed reward of a rewarded resolution shows only in what the model learns.
    lines = path.read_text().splitlines()
    index = next(k for k in lines_of(path, "resolution")[3:] if json.loads(lines[k])["kind"] == "rewarded")
    flip_line(path, index, lambda o: o.update(reward=o["reward"] + 40.0))
    status, report = verify(path, capsys, ["-q"])
    assert status == Exit.PROBLEMS and report["mismatches"] == {"diverged": 1}
    assert "earlier line was changed or lost" in report["first"][0]["message"]
    assert report["first"][0]["line"] > index + 1
