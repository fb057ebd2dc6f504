"""The native passes give the same result whatever threads and batches
read the log ahead.

Lines are read and hashed in batches on several threads while the calling
thread replays the batch before; a fault there would show as a decline at
another line, other counts, another state or other evaluation terms. Each
log is run with one thread and a batch larger than the log (nothing read
ahead of its turn) and then with several threads and batches cut at every
few lines, including a batch of one.
"""
import json
import os
import time

import pytest

import sorvane
from sorvane_cli import jobs
from sorvane_cli.replay import native as native_replay
from logs import CONFIG, write_run

_native = native_replay._native

# (threads, batch_lines): the reference first.
LAYOUTS = [(1, 100_000), (1, 1), (2, 1), (2, 3), (3, 7), (4, 64)]


def _replay(data, threads, batch_lines, piece=1 << 20, state_text=None):
    replay = _native.LogReplay(CONFIG["horizon"], CONFIG["default_reward"], CONFIG["epsilon"],
                               CONFIG["forgetfulness"], state_text, threads=threads, batch_lines=batch_lines)
    replay.set_line_limit(4096)
    for at in range(0, len(data), piece):
        if not replay.feed(data[at:at + piece]):
            break
    replay.finish()
    return replay.declined(), replay.counts(), replay.state_text()


def _evaluation(data, threads, batch_lines):
    targets = [(0, CONFIG["horizon"], CONFIG["default_reward"], CONFIG["epsilon"], CONFIG["forgetfulness"], None),
               (0, CONFIG["horizon"], CONFIG["default_reward"], 0.5, CONFIG["forgetfulness"], None),
               (0, CONFIG["horizon"], 0.0, 0.1, 0.9, None),
               (12, CONFIG["horizon"], CONFIG["default_reward"], 0.05, CONFIG["forgetfulness"], None)]
    evaluation = _native.LogEvaluation(targets, True, threads=threads, batch_lines=batch_lines)
    evaluation.feed(data)
    evaluation.finish()
    return evaluation.declined(), evaluation.counts(), [evaluation.terms(k) for k in range(len(targets))]


def _edited(data, line, edit):
    lines = data.split(b"\n")
    lines[line] = edit(lines[line])
    return b"\n".join(lines)


def _flip_propensity(line):
    obj = json.loads(line)
    obj["record"]["propensity"] = obj["record"]["propensity"] / 2
    return json.dumps(obj, separators=(",", ":")).encode()


@pytest.fixture(scope="module")
def log_bytes(tmp_path_factory):
    path = tmp_path_factory.mktemp("threads") / "run.log"
    write_run(path, decisions=160)
    return path.read_bytes()


def _variants(data):
    """The clean log and logs the pass declines at a line early, mid-batch
    and near the end, for each reason a batch can meet."""
    n = data.count(b"\n")
    return {
        "clean": data,
        "no newline at the end": data.rstrip(b"\n"),
        "propensity changed late": _edited(data, n - 5, _flip_propensity),
        "not JSON mid-log": _edited(data, n // 2, lambda line: line[:-1]),
        "too long early": _edited(data, 9, lambda line: line + b" " * 5000),
        "a resolution of nothing": _edited(data, n - 2, lambda line: b'{"event":"resolution","decision_id":'
                                           b'"nobody:0","kind":"expired","reward":0.0}'),
    }


@pytest.mark.parametrize("variant", ["clean", "no newline at the end", "propensity changed late",
                                     "not JSON mid-log", "too long early", "a resolution of nothing"])
def test_the_replay_is_the_same_for_any_threads_and_batches(log_bytes, variant):
    data = _variants(log_bytes)[variant]
    reference = _replay(data, *LAYOUTS[0])
    for threads, batch_lines in LAYOUTS[1:]:
        assert _replay(data, threads, batch_lines) == reference, (threads, batch_lines)
        # Pieces cut mid-line meet the batches anywhere.
        assert _replay(data, threads, batch_lines, piece=997) == reference, (threads, batch_lines)
    declined, counts, state = reference
    assert (declined is None) == (variant in ("clean", "no newline at the end"))
    if declined is None:
        assert state is not None


def test_a_replay_continuing_a_saved_state_is_the_same_for_any_threads(tmp_path):
    path = tmp_path / "continued.log"
    saved = sorvane.create(10, **CONFIG)
    write_run(path, decisions=40, state=saved)
    text = sorvane.serialize(saved)
    path.write_bytes(b"")
    write_run(path, decisions=60, state=saved, start=40)
    data = path.read_bytes()
    reference = _replay(data, *LAYOUTS[0], state_text=text)
    assert reference[0] is None and reference[2] == sorvane.serialize(saved)
    for threads, batch_lines in LAYOUTS[1:]:
        assert _replay(data, threads, batch_lines, state_text=text) == reference


@pytest.mark.parametrize("variant", ["clean", "propensity changed late", "not JSON mid-log"])
def test_the_evaluation_is_the_same_for_any_threads_and_batches(log_bytes, variant):
    data = _variants(log_bytes)[variant]
    reference = _evaluation(data, *LAYOUTS[0])
    assert (reference[0] is None) == (variant != "not JSON mid-log")
    for threads, batch_lines in LAYOUTS[1:]:
        got = _evaluation(data, threads, batch_lines)
        # Terms are packed doubles: equal bytes are equal bits, NaN included.
        assert got == reference, (threads, batch_lines)


def _thread_count():
    return len(os.listdir("/proc/self/task"))


def _settled_thread_count(expected, seconds=5.0):
    """The process's thread count once it is `expected`, or after `seconds`:
    a joined thread may leave the task list a moment after its join."""
    deadline = time.monotonic() + seconds
    while _thread_count() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return _thread_count()


def test_a_pass_made_and_dropped_before_its_end_stops_its_threads(log_bytes):
    before = _thread_count()
    for _ in range(20):
        replay = _native.LogReplay(1.0, 0.0, 0.1, 1.0, None, threads=4, batch_lines=2)
        replay.feed(log_bytes[: len(log_bytes) // 2])
        assert _thread_count() > before  # the pass runs on threads of its own
        del replay
        assert _settled_thread_count(before) == before


@pytest.mark.parametrize("threads, batch_lines", [(0, 1), (257, 1), (1, 0), (-1, 5)])
def test_thread_and_batch_counts_out_of_range_are_refused(threads, batch_lines):
    with pytest.raises(ValueError):
        _native.LogReplay(1.0, 0.0, 0.1, 1.0, None, threads=threads, batch_lines=batch_lines)
    with pytest.raises(ValueError):
        _native.LogEvaluation([(0, 1.0, 0.0, 0.1, 1.0, None)], False, threads=threads, batch_lines=batch_lines)


def test_the_toolkit_asks_for_its_share_of_the_cpus():
    assert 1 <= jobs.threads <= 8
    saved = jobs.threads
    try:
        jobs.share_cpus(0)
        assert jobs.threads == 1
    finally:
        jobs.share_cpus(saved)
