"""A log read in pieces (the native passes' way) counts its lines as reading it line by line does."""
import json
import sys

import pytest
from logs import CONFIG, FLAGS, lines_of, write_run
from test_native_replay import _both_paths, _proved_natively

from sorvane_cli import header_line
from sorvane_cli.__main__ import main
from sorvane_cli.evaluation import evaluate
from sorvane_cli.log import source
from sorvane_cli.log.source import LogSource, newlines
from sorvane_cli.replay import native as native_replay
from sorvane_cli.replay import replayer

ENDINGS = {
    "empty": b"",
    "one line": b'{"a":1}\n',
    "one line without its end": b'{"a":1}',
    "blank lines": b"\n\n\n",
    "many lines": b"".join(b'{"n":%d}\n' % k for k in range(5000)),
    "many lines, the last cut": b"".join(b'{"n":%d}\n' % k for k in range(5000)) + b'{"n":',
}


@pytest.mark.parametrize("numpy_from", [1, 1 << 30], ids=["numpy", "bytes.count"])
@pytest.mark.parametrize("peeked", [0, 1, 3])
@pytest.mark.parametrize("size", [1, 5, 4096, 1 << 20])
@pytest.mark.parametrize("data", ENDINGS.values(), ids=ENDINGS.keys())
def test_a_pass_in_pieces_ends_on_the_line_count_of_a_pass_by_lines(tmp_path, monkeypatch, data, size, peeked,
                                                                     numpy_from):
    monkeypatch.setattr(source, "_NUMPY_COUNT_BYTES", numpy_from)
    path = tmp_path / "log"
    path.write_bytes(data)
    with LogSource(str(path)) as log:
        lines = sum(1 for _ in log.lines())
    with LogSource(str(path)) as log:
        log.peek(peeked, 1 << 20)
        assert b"".join(log.chunks(size)) == data
        assert log.line_count() == lines


@pytest.mark.parametrize("data", [b"", b"\n", b"a\nb", b"\n" * 70000 + b"x" * 70000], ids=["empty", "one", "two",
                                                                                           "long"])
def test_line_ends_are_counted_alike_with_and_without_numpy(monkeypatch, data):
    assert "numpy" in sys.modules  # loaded with the evaluation, as eval and sweep load it
    monkeypatch.setattr(source, "_NUMPY_COUNT_BYTES", 1)
    by_numpy = newlines(data)
    monkeypatch.setattr(source, "_NUMPY_COUNT_BYTES", 1 << 62)
    assert by_numpy == newlines(data) == data.count(b"\n")


@pytest.mark.parametrize("argv, module, native_path", [
    (["verify"], replayer, "replay_natively"),
    (["eval", "--method", "weighted"], evaluate, "evaluate_natively"),
    (["eval", "--method", "longrun"], evaluate, "longrun_natively"),
], ids=["verify", "weighted", "longrun"])
@pytest.mark.parametrize("header", [False, True], ids=["", "header"])
def test_a_cut_last_line_is_named_by_its_number_when_the_log_comes_in_many_pieces(tmp_path, monkeypatch, capsys,
                                                                                  argv, module, native_path, header):
    path = tmp_path / "cut.log"
    if header:
        path.write_text(header_line(10, CONFIG["horizon"], CONFIG["default_reward"], CONFIG["epsilon"],
                                    CONFIG["forgetfulness"]) + "\n")
    write_run(path, decisions=150)
    data = path.read_bytes()
    path.write_bytes(data[:-40])
    monkeypatch.setattr(native_replay, "_CHUNK", 1000)
    monkeypatch.setattr(source, "_NUMPY_COUNT_BYTES", 1)
    finished = []
    natively = getattr(module, native_path)
    monkeypatch.setattr(module, native_path, lambda *a, **k: finished.append(natively(*a, **k)) or finished[-1])
    main([argv[0], str(path), *argv[1:], "--json", *FLAGS])
    report = json.loads(capsys.readouterr().out)
    line = report["first"][0]["line"] if argv[0] == "verify" else report["left_out"]["line"]
    assert finished and finished[-1] is not None and line == data.count(b"\n")


@pytest.mark.parametrize("piece", [700, 1 << 20])
@pytest.mark.parametrize("where, ending", [(0, "\n"), (-1, ""), (-1, "cut"), (-1, "cut within the bound")])
def test_a_long_line_in_many_pieces_is_reported_alike(tmp_path, capsys, monkeypatch, piece, where, ending):
    path = tmp_path / "run.log"
    write_run(path)
    lines = path.read_text().splitlines()
    index = lines_of(path, "decision")[where]
    pad = 3000 if ending == "cut within the bound" else 6000
    lines[index] = lines[index][:-1] + ',"pad":"' + "x" * pad + ("" if ending.startswith("cut") else '"}')
    path.write_text("\n".join(lines[:index + 1] if ending.startswith("cut") else lines) + ("\n" if ending == "\n" else ""))
    monkeypatch.setattr(native_replay, "_CHUNK", piece)
    _both_paths(path, tmp_path, capsys, monkeypatch, flags=FLAGS + ["--max-line-bytes", "5000"])
    if ending == "cut within the bound":
        # The cut line is left out, not handed over in part: the native path proves the lines before it.
        assert _proved_natively(path)
