"""Where a command's output goes: only regular files are written, through a
temporary file of their own; standard streams that are full, closed or
interrupted end in one line and the output's or the interruption's status;
and flags a command does not take are that command's usage errors."""
import os
import stat
import threading

import pytest

import sorvane
from sorvane_cli.status import Exit
from logs import FLAGS, write_run


@pytest.fixture(scope="module")
def log(tmp_path_factory):
    path = tmp_path_factory.mktemp("log") / "run.log"
    state = write_run(path, decisions=40)
    return path, sorvane.serialize(state)


def test_replay_writes_a_regular_file_and_leaves_no_temporary_one(tmp_path, log, cli):
    path, state = log
    out = tmp_path / "s.hex"
    out.write_text("stale")
    assert cli("replay", path, "-o", out, *FLAGS)[0] == Exit.OK
    assert out.read_text() == state and os.listdir(tmp_path) == ["s.hex"]
    assert stat.S_IMODE(out.stat().st_mode) & 0o044  # not the private mode of a temporary file


def _symlink(tmp_path):
    target = tmp_path / "target.hex"
    target.write_text("stale")
    os.symlink(target, tmp_path / "out.hex")
    return tmp_path / "out.hex"


def _fifo(tmp_path):
    os.mkfifo(tmp_path / "out.hex")
    return tmp_path / "out.hex"


def _device(tmp_path):
    # A node of its own (the null device's numbers), never one of /dev.
    if os.geteuid() != 0:
        pytest.skip("only root makes device nodes")
    os.mknod(tmp_path / "out.hex", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    return tmp_path / "out.hex"


@pytest.mark.parametrize("make, kind", [(_symlink, "a symbolic link"), (_fifo, "a FIFO"), (_device, "a device"),
                                        (lambda p: p, "a directory")])
def test_an_output_that_is_not_a_regular_file_is_refused_and_left_alone(tmp_path, log, cli, make, kind):
    output = make(tmp_path)
    before = os.lstat(output)
    status, out, err = cli("replay", log[0], "-o", output, *FLAGS)
    assert status == Exit.OUTPUT and kind in err and len(err.splitlines()) == 1
    after = os.lstat(output)
    assert (after.st_mode, after.st_ino) == (before.st_mode, before.st_ino)
    if kind == "a symbolic link":
        assert (tmp_path / "target.hex").read_text() == "stale"


def test_the_temporary_file_is_unique_and_never_followed_through_a_link(tmp_path, log, cli, monkeypatch):
    from sorvane_cli.report import files
    path, state = log
    victim = tmp_path / "victim"
    victim.write_text("keep")
    # A link planted at the name a fixed temporary file would take.
    os.symlink(victim, tmp_path / "s.hex.tmp")
    names = []
    real_replace = files.os.replace
    monkeypatch.setattr(files.os, "replace", lambda a, b: (names.append(a), real_replace(a, b))[1])
    threads = [threading.Thread(target=files.write_text, args=(str(tmp_path / "s.hex"), state, "-o"))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert victim.read_text() == "keep" and (tmp_path / "s.hex").read_text() == state
    assert len(set(names)) == 4


def test_an_output_in_a_folder_that_is_a_file_says_so(tmp_path, log, cli):
    (tmp_path / "file").write_text("")
    status, out, err = cli("replay", log[0], "-o", tmp_path / "file" / "x.hex", *FLAGS)
    assert status == Exit.OUTPUT and "is a file, not a folder" in err and "does not exist" not in err


@pytest.mark.parametrize("argv, expected", [
    (["verify", "{log}", "--horizn", "600"], "usage: sorvane verify"),
    (["sweep", "{log}", "--grid", "bits=30"], "--grid bits=30"),
    (["sweep", "{log}", "--grid", "bits=x"], "--grid bits must be an integer"),
    (["eval", "{log}", "--target", "epsilon=0.1", "--target", "epsilon=0.1"], "another target has that name"),
    (["eval", "{log}", "--target", "name=logging,epsilon=0.1"], "another target has that name"),
    (["verify", "{log}", "--workers", "2"], "without it, the log is verified in one pass"),
])
def test_usage_errors_name_the_command_and_the_flag(log, cli, capsys, argv, expected):
    argv = [a.format(log=log[0]) for a in argv] + FLAGS
    try:
        status, _, err = cli(*argv)
    except SystemExit as exc:
        status, err = exc.code, capsys.readouterr().err
    assert status == Exit.USAGE and expected in err
    assert "--target" not in err or "--target" in argv


def _sorvane(argv, redirect="", timeout=60):
    """`python -m sorvane_cli ARGV REDIRECT` run by the shell: (status, stderr)."""
    import shlex
    import subprocess
    import sys
    command = " ".join(shlex.quote(str(a)) for a in [sys.executable, "-m", "sorvane_cli", *argv]) + " " + redirect
    done = subprocess.run(["bash", "-c", command], capture_output=redirect.find(">") < 0, timeout=timeout,
                          stderr=subprocess.PIPE if redirect.find(">") >= 0 else None)
    return done.returncode, done.stderr.decode()


@pytest.mark.parametrize("argv", [["replay", "{log}", "-o", "-"], ["verify", "{log}", "--json"],
                                  ["eval", "{log}", "--method", "weighted"]])
@pytest.mark.parametrize("redirect, message", [("> /dev/full", "No space left on device"), (">&-", "is closed")])
def test_a_full_or_closed_standard_output_is_one_line_and_the_output_status(log, argv, redirect, message):
    status, err = _sorvane([a.format(log=log[0]) for a in argv] + FLAGS, redirect)
    assert status == Exit.OUTPUT, err
    assert "Traceback" not in err and message in err and len(err.splitlines()) == 1


def test_a_closed_standard_input_is_one_line_and_a_usage_error(log):
    status, err = _sorvane(["verify", "-"] + FLAGS, "<&-")
    assert status == Exit.USAGE and "standard input is closed" in err and len(err.splitlines()) == 1


def test_an_interrupt_while_it_starts_is_one_line_and_status_130(monkeypatch, capsys):
    import importlib

    from sorvane_cli import __main__

    def interrupted(name, *args):
        raise KeyboardInterrupt
    monkeypatch.setattr(importlib, "import_module", interrupted)
    assert __main__.main(["verify", "x.log"]) == Exit.INTERRUPTED
    err = capsys.readouterr().err
    assert err == "sorvane: interrupted\n"
