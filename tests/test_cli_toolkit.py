"""The toolkit's common ground: how a log is read, what each exit status
means, and every failure as one clear line."""
import bz2
import gzip
import io
import json
import lzma
import tracemalloc

import pytest

import sorvane
from sorvane_cli import header_line
from sorvane_cli.__main__ import build_parser, main
from sorvane_cli.status import Exit
from logs import CONFIG, FLAGS, write_run




@pytest.fixture(scope="module")
def log_bytes(tmp_path_factory):
    path = tmp_path_factory.mktemp("log") / "run.log"
    state = write_run(path, decisions=60)
    return path.read_bytes(), sorvane.serialize(state)


COMPRESSIONS = {"plain": lambda b: b, "gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress}


@pytest.mark.parametrize("compression", sorted(COMPRESSIONS))
@pytest.mark.parametrize("name", ["run.log", "run.log.gz"])
def test_compressed_logs_are_read_by_their_first_bytes_whatever_their_name(tmp_path, log_bytes, compression, name,
                                                                            cli):
    data, state = log_bytes
    path = tmp_path / name
    path.write_bytes(COMPRESSIONS[compression](data))
    assert cli("verify", str(path), *FLAGS)[0] == Exit.OK
    out = tmp_path / "state.hex"
    assert cli("replay", str(path), "-o", str(out), *FLAGS)[0] == Exit.OK
    assert out.read_text() == state
    assert cli("eval", str(path), "--method", "weighted", *FLAGS)[0] == Exit.OK


@pytest.mark.parametrize("command", [["verify"], ["replay", "-o", "{dir}/s.hex"], ["eval"]])
@pytest.mark.parametrize("compression", ["plain", "gzip"])
def test_standard_input_is_read_as_dash(tmp_path, log_bytes, command, compression, cli, monkeypatch):
    data, state = log_bytes
    argv = [command[0], "-"] + [a.format(dir=tmp_path) for a in command[1:]] + FLAGS
    status, out, err = cli(*argv, stdin=COMPRESSIONS[compression](data))
    assert status == Exit.OK, err
    if command[0] == "replay":
        assert (tmp_path / "s.hex").read_text() == state


def test_a_damaged_compressed_log_is_one_line_of_error(tmp_path, log_bytes, cli):
    data, _ = log_bytes
    packed = bytearray(gzip.compress(data))
    packed[len(packed) // 2] ^= 0xFF
    path = tmp_path / "run.log.gz"
    path.write_bytes(bytes(packed))
    status, out, err = cli("verify", str(path), *FLAGS)
    assert status == Exit.USAGE and "gzip data is damaged" in err and len(err.splitlines()) == 1


def test_a_line_past_the_bound_is_a_problem_of_its_line_and_is_never_held_whole(tmp_path, log_bytes, cli):
    data, _ = log_bytes
    lines = data.splitlines(keepends=True)
    huge = b'{"event":"decision","bits":10,"context":{"x":"' + b"a" * (8 << 20) + b'"}}\n'
    path = tmp_path / "huge.log"
    path.write_bytes(b"".join(lines[:5] + [huge] + lines[5:]))
    for command in (["verify", "--json"], ["eval"], ["replay", "-o", str(tmp_path / "s.hex")]):
        tracemalloc.start()
        status, out, err = cli(*[command[0], str(path), "--max-line-bytes", "65536"] + command[1:] + FLAGS)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert status == Exit.PROBLEMS, err
        assert "line 6: line too long: the line is longer than 65,536 bytes" in out + err or \
            json.loads(out)["first"][0] == {"line": 6, "kind": "too-long", "fields": [],
                                            "message": "the line is longer than 65,536 bytes (--max-line-bytes); "
                                                       "it was skipped unread"}
        assert peak < 4 << 20, peak


def test_the_default_bound_passes_lines_far_longer_than_real_ones(tmp_path, cli):
    state = sorvane.create(12, **CONFIG)
    candidates = [(f"c{k}", {f"f{j}": float(j) for j in range(200)}) for k in range(1000)]
    record = sorvane.decide(state, {"u": 1}, candidates, 0.0, "big")
    path = tmp_path / "big.log"
    path.write_text(sorvane.log_line(record) + "\n")
    assert path.stat().st_size > 1 << 20
    assert cli("verify", str(path), *FLAGS)[0] == Exit.OK


def test_running_out_of_memory_is_one_line_and_its_own_status(tmp_path, log_bytes, cli, monkeypatch):
    data, _ = log_bytes
    path = tmp_path / "run.log"
    path.write_bytes(data)

    def no_memory(*args, **kwargs):
        raise MemoryError

    from sorvane_cli.log import lines as logread
    monkeypatch.setattr(logread, "_fast_decision", no_memory)
    monkeypatch.setattr(logread, "parse_in_full", no_memory)
    for command in (["verify"], ["eval"], ["replay", "-o", str(tmp_path / "s.hex")]):
        status, out, err = cli(*[command[0], str(path)] + command[1:] + FLAGS)
        assert status == Exit.MEMORY
        assert err.startswith(f"sorvane {command[0]}: error: out of memory") and len(err.splitlines()) == 1


@pytest.mark.parametrize("argv", [
    ["replay", "{log}", "-o", "/nonexistent/x.hex"],
    ["replay", "{log}", "-o", "{dir}"],
    ["eval", "{log}", "--plot", "/nonexistent/p.png"],
])
def test_an_output_path_that_cannot_be_written_is_refused_before_the_work(tmp_path, log_bytes, argv, cli,
                                                                          monkeypatch):
    pytest.importorskip("matplotlib")
    data, _ = log_bytes
    path = tmp_path / "run.log"
    path.write_bytes(data)
    monkeypatch.setattr(sorvane, "decide", None)  # any work would fail loudly
    status, out, err = cli(*[a.format(log=path, dir=tmp_path) for a in argv], *FLAGS)
    assert status == Exit.OUTPUT and err.startswith("sorvane") and "cannot write" in err
    assert len(err.splitlines()) == 1


def test_a_write_that_fails_late_is_one_line_too(tmp_path, log_bytes, cli, monkeypatch):
    from sorvane_cli.report import files as output_files
    data, _ = log_bytes
    path = tmp_path / "run.log"
    path.write_bytes(data)
    monkeypatch.setattr(output_files.os, "replace", lambda a, b: (_ for _ in ()).throw(OSError(28, "No space left")))
    status, out, err = cli("replay", str(path), "-o", str(tmp_path / "s.hex"), *FLAGS)
    assert status == Exit.OUTPUT and "No space left" in err
    assert not list(tmp_path.glob("s.hex*"))


def test_target_takes_one_value_so_the_log_may_follow_it(tmp_path, log_bytes, cli):
    data, _ = log_bytes
    path = tmp_path / "run.log"
    path.write_bytes(data)
    status, out, err = cli("eval", "--target", "epsilon=0.3,name=wide", str(path), "--json", *FLAGS)
    assert status == Exit.OK, err
    assert [t["name"] for t in json.loads(out)["targets"]] == ["logging", "wide"]


@pytest.mark.parametrize("argv, message", [
    (["verify", "{log}", "--show", "-1"], "--show: must be 0 or more"),
    (["eval", "{log}", "--bootstrap", "-5"], "--bootstrap: must be 0 or more"),
    (["verify", "{log}", "--max-line-bytes", "0"], "--max-line-bytes: must be 1 or more"),
])
def test_negative_counts_are_usage_errors(tmp_path, log_bytes, argv, message, capsys):
    path = tmp_path / "run.log"
    path.write_bytes(log_bytes[0])
    with pytest.raises(SystemExit) as stop:
        main([a.format(log=path) for a in argv])
    assert stop.value.code == Exit.USAGE and message in capsys.readouterr().err


def test_version_and_one_exit_status_table_for_every_command(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0 and capsys.readouterr().out.startswith("sorvane ")
    parser = build_parser()
    texts = [parser.format_help()] + [parser._subparsers._group_actions[0].choices[c].format_help()
                                      for c in ("verify", "replay", "eval")]
    for text in texts:
        for code in Exit:
            assert f"\n  {int(code):>3}  " in text, (code, text)


def test_the_header_line_carries_create_s_arguments_and_refuses_what_create_refuses():
    line = header_line(16, 300.0, epsilon=0.1, forgetfulness=0.99999)
    assert json.loads(line) == {"event": "header", "version": 1, "bits": 16, "horizon": 300.0, "default_reward": 0.0,
                                "epsilon": 0.1, "forgetfulness": 0.99999}
    assert "\n" not in line and " " not in line
    for args, error in [((0, 1.0), "bits must be between 1 and 24"), ((8, 0.0), "horizon must be positive"),
                        ((8, 1.0, 0.0, 1.5), "epsilon must be in [0, 1]")]:
        with pytest.raises(ValueError, match=error.replace("[", r"\[").replace("]", r"\]")):
            header_line(*args)
    with pytest.raises(TypeError):
        header_line(8.0, 1.0)


def test_a_closed_standard_output_is_one_line_and_the_output_status(tmp_path, log_bytes, capsys):
    class Closed(io.StringIO):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

    path = tmp_path / "run.log"
    path.write_bytes(log_bytes[0])
    for argv in (["replay", str(path), "-o", "-"], ["verify", str(path)], ["eval", str(path)]):
        status = main(argv + FLAGS, stdout=Closed())
        err = capsys.readouterr().err
        assert status == Exit.OUTPUT and "standard output was closed" in err and len(err.splitlines()) == 1
