"""The configuration a log was written with: read off the log where the log
fixes it, from its header where it has one, and every flag checked against
both."""
import json

import pytest

import sorvane
from sorvane_cli import header_line
from sorvane_cli.status import Exit
from logs import CONFIG, write_run

ONLY_FORGETFULNESS = ["--forgetfulness", "0.98", "-q"]




@pytest.mark.parametrize("epsilon", [0.0, 0.013, 0.2, 1.0])
def test_epsilon_and_default_reward_are_read_off_the_log(tmp_path, epsilon, cli):
    path = tmp_path / "run.log"
    state = write_run(path, state=sorvane.create(10, **dict(CONFIG, epsilon=epsilon)))
    status, out, err = cli("verify", str(path), "--json", *ONLY_FORGETFULNESS)
    assert status == Exit.OK, out
    configuration = json.loads(out)["configuration"]
    assert configuration["epsilon"] == epsilon and configuration["default_reward"] == -0.25
    assert configuration["from"] == {"horizon": "default", "default_reward": "log", "epsilon": "log",
                                     "forgetfulness": "flag"}
    saved = tmp_path / "state.hex"
    assert cli("replay", str(path), "-o", str(saved), "--horizon", "5", *ONLY_FORGETFULNESS)[0] == Exit.OK
    assert saved.read_text() == sorvane.serialize(state)


@pytest.mark.parametrize("flag, value, logged", [
    ("--epsilon", "0.05", "0.2"),
    ("--epsilon", "0.2000000000000001", "0.2"),
    ("--default-reward", "0.0", "-0.25"),
])
@pytest.mark.parametrize("command", ["verify", "replay", "eval"])
def test_a_flag_the_log_contradicts_is_refused_naming_it_and_the_logged_value(tmp_path, flag, value, logged, command,
                                                                             cli):
    path = tmp_path / "run.log"
    write_run(path)
    argv = [command, str(path), flag, value, "--horizon", "5"] + ONLY_FORGETFULNESS
    if command == "replay":
        argv += ["-o", str(tmp_path / "s.hex")]
    status, out, err = cli(*argv)
    assert status == Exit.USAGE and out == ""
    assert f"{flag} {float(value)!r} contradicts the log" in err and logged in err
    assert not (tmp_path / "s.hex").exists()


def test_a_flag_the_log_agrees_with_passes(tmp_path, cli):
    path = tmp_path / "run.log"
    write_run(path)
    argv = ["verify", str(path), "--epsilon", "0.2", "--default-reward", "-0.25"] + ONLY_FORGETFULNESS
    assert cli(*argv)[0] == Exit.OK


def write_with_header(path, **config):
    config = dict(CONFIG, **config)
    state = sorvane.create(10, **config)
    path.write_text(header_line(10, **config) + "\n")
    write_run(path, state=state)
    return state


def test_a_log_with_a_header_needs_no_flag_at_all(tmp_path, cli):
    path = tmp_path / "run.log"
    state = write_with_header(path)
    status, out, _ = cli("verify", str(path), "--json", "-q")
    assert status == Exit.OK
    assert set(json.loads(out)["configuration"]["from"].values()) == {"header"}
    saved = tmp_path / "state.hex"
    assert cli("replay", str(path), "-o", str(saved), "-q")[0] == Exit.OK
    assert saved.read_text() == sorvane.serialize(state)
    assert cli("eval", str(path), "-q", "--target", "epsilon=0.5")[0] == Exit.OK


@pytest.mark.parametrize("flag, value", [("--forgetfulness", "0.9"), ("--horizon", "60"), ("--epsilon", "0.3")])
def test_a_flag_the_header_contradicts_is_refused(tmp_path, flag, value, cli):
    path = tmp_path / "run.log"
    write_with_header(path)
    status, _, err = cli("verify", str(path), flag, value, "-q")
    assert status == Exit.USAGE and f"{flag} {float(value)!r} contradicts the log" in err


def test_a_header_the_lines_contradict_is_refused(tmp_path, cli):
    path = tmp_path / "run.log"
    write_with_header(path)
    lines = path.read_text().splitlines(keepends=True)
    lines[0] = header_line(10, **dict(CONFIG, epsilon=0.5)) + "\n"
    path.write_text("".join(lines))
    status, _, err = cli("verify", str(path), "-q")
    assert status == Exit.USAGE and "header (line 1) gives epsilon 0.5" in err and "0.2" in err


@pytest.mark.parametrize("where, text, message", [
    (3, None, "a header line belongs first in the log"),
    (0, '{"event":"header","version":2,"bits":10,"horizon":5.0,"default_reward":-0.25,"epsilon":0.2,'
        '"forgetfulness":0.98}', "header: version must be 1, not 2"),
    (0, '{"event":"header","version":1,"bits":10,"horizon":5.0,"epsilon":0.2,"forgetfulness":0.98}',
     "header: it has no default_reward"),
    (0, '{"event":"header","version":1,"bits":10,"horizon":-5.0,"default_reward":-0.25,"epsilon":0.2,'
        '"forgetfulness":0.98}', "header: horizon must be positive"),
])
def test_a_misplaced_or_broken_header_is_a_problem_of_its_line(tmp_path, where, text, message, cli):
    path = tmp_path / "run.log"
    write_with_header(path)
    lines = path.read_text().splitlines(keepends=True)
    if text is None:
        lines.insert(where, lines[0])
    else:
        lines[where] = text + "\n"
    path.write_text("".join(lines))
    status, out, _ = cli("verify", str(path), "--json", "--horizon", "5", *ONLY_FORGETFULNESS)
    report = json.loads(out)
    assert status == Exit.PROBLEMS
    assert report["first"][0]["line"] == where + 1 and report["first"][0]["message"] == message


def test_a_saved_state_the_log_contradicts_is_refused(tmp_path, cli):
    path = tmp_path / "run.log"
    write_run(path)
    saved = tmp_path / "saved.hex"
    saved.write_text(sorvane.serialize(sorvane.create(10, **dict(CONFIG, epsilon=0.05))))
    status, _, err = cli("verify", str(path), "--from-state", str(saved), "-q")
    assert status == Exit.USAGE and "--from-state" in err and "epsilon 0.05" in err and "0.2" in err
