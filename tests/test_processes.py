"""The processes a command starts end with it: SIGTERM or SIGINT to the
command's process alone ends it and every worker within seconds, and a
cluster address is checked at once or given up on within a bounded time.
Every test is bounded in time and leaves no process behind."""
import contextlib
import os
import signal
import subprocess
import sys
import time

import random

import psutil
import pytest

import sorvane
from sorvane_cli.status import Exit
from logs import softmax_explore


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A log whose jobs run for many seconds, with checkpoints: the host
    explored with its own callable, so every decision is steered."""
    out = tmp_path_factory.mktemp("big")
    (out / "checkpoints").mkdir()
    state = sorvane.create(10, 50.0, epsilon=0.1)
    rng = random.Random(1)
    with open(out / "log.jsonl", "w") as log:
        for i in range(48000):
            if i and i % 12000 == 0:
                (out / "checkpoints" / f"state-{i:06d}.hex").write_text(sorvane.serialize(state))
            candidates = [(f"c{k}", {"p": float(k)}) for k in range(4)]
            record = sorvane.decide(state, {"u": f"v{rng.randrange(5)}"}, candidates, float(i), "s",
                                    explore=softmax_explore)
            log.write(sorvane.log_line(record) + "\n")
            reward = 1.0 if rng.random() < 0.3 else 0.0
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, float(i))) + "\n")
    return out


@contextlib.contextmanager
def _running(argv):
    """The command started; on the way out it and every process it started
    are gone, whatever the test found (a worker left behind is killed)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-m", "sorvane_cli", *map(str, argv)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=env)
    seen = []
    try:
        yield process, seen
    finally:
        for p in seen:
            try:
                p.kill()
            except psutil.Error:
                pass
        process.kill()
        process.communicate()


def _workers(process, seen, count, within=60.0):
    """The worker processes of `process` once `count` of them run jobs (added to `seen`)."""
    parent = psutil.Process(process.pid)
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        workers = [p for p in parent.children(recursive=True) if "resource_tracker" not in " ".join(p.cmdline())]
        seen[:] = parent.children(recursive=True)
        busy = [p for p in workers if p.cpu_times().user > 0.3]
        if len(busy) >= count:
            return workers
        time.sleep(0.1)
    raise AssertionError("the workers never started their jobs")


COMMANDS = {
    "sweep": ["sweep", "{log}/log.jsonl", "--grid", "epsilon=0.05,0.1,0.2,0.3", "--method", "rejection",
              "--replays", "40", "--workers", "2", "-q"],
    "verify --checkpoints": ["verify", "{log}/log.jsonl", "--checkpoints", "{log}/checkpoints", "--workers", "2",
                             "--horizon", "50", "-q"],
}


@pytest.mark.parametrize("command", sorted(COMMANDS))
@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, Exit.TERMINATED), (signal.SIGINT, Exit.INTERRUPTED)])
def test_a_signal_to_the_command_ends_it_and_every_worker_within_seconds(big, command, signum, status):
    with _running([a.format(log=big) for a in COMMANDS[command]]) as (process, seen):
        workers = _workers(process, seen, 1)
        process.send_signal(signum)
        ended = time.monotonic()
        try:
            _, err = process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            raise AssertionError("the command did not end within 10 s") from None
        took = time.monotonic() - ended
        gone, alive = psutil.wait_procs(workers, timeout=3)
        err = err.decode()
        assert not alive, f"workers left running: {alive}"
        assert process.returncode == status, err
        assert took < 3.0 and "Traceback" not in err and len(err.splitlines()) == 1


def test_workers_end_when_the_command_is_killed_outright(big):
    with _running([a.format(log=big) for a in COMMANDS["sweep"]]) as (process, seen):
        workers = _workers(process, seen, 1)
        process.kill()
        process.wait(timeout=10)
        gone, alive = psutil.wait_procs(workers, timeout=5)
        assert not alive


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    from parallel_jobs import write_log
    out = tmp_path_factory.mktemp("small")
    write_log(out / "log.jsonl", out / "checkpoints", 400, 200)
    return out


CLUSTER_COMMANDS = [["sweep", "{log}/log.jsonl", "--grid", "epsilon=0.2", "--horizon", "50", "-q"],
                    ["verify", "{log}/log.jsonl", "--checkpoints", "{log}/checkpoints", "--horizon", "50", "-q"]]


@pytest.mark.parametrize("argv", CLUSTER_COMMANDS)
@pytest.mark.parametrize("address, says", [("localhost", "it has no port number"),
                                           ("tcp://127.0.0.1", "it has no port number"),
                                           ("127.0.0.1:http", "the port must be a number"),
                                           ("inproc://x", "the scheme must be tcp or tls")])
def test_a_malformed_cluster_address_is_a_usage_error_at_once(small, cli, argv, address, says):
    started = time.monotonic()
    status, out, err = cli(*[a.format(log=small) for a in argv], "--cluster", address)
    assert time.monotonic() - started < 5.0
    assert status == Exit.USAGE and says in err and len(err.splitlines()) == 1


def test_an_unreachable_scheduler_is_given_up_on_within_the_documented_time(small, cli):
    import socket

    from sorvane_cli.jobs import CONNECT_SECONDS
    pytest.importorskip("distributed")
    with socket.socket() as probe:  # a loopback port no one listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    started = time.monotonic()
    status, out, err = cli(*[a.format(log=small) for a in CLUSTER_COMMANDS[0]], "--cluster", f"127.0.0.1:{port}")
    took = time.monotonic() - started
    assert status == Exit.JOB_FAILED and f"cannot reach the Dask scheduler at tcp://127.0.0.1:{port}" in err
    assert took < CONNECT_SECONDS + 10 and f"{CONNECT_SECONDS} s" in err
