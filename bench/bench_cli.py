"""Times `sorvane verify` and `sorvane eval` on a log of the M workload.

The log: bits 18, every decision with 10 context features and 10 candidates
of 5 features (half text, half numbers), every decision resolved. Each line
of output is one measurement in decision lines per second, beside two
baselines measured in the same run: reading the log (json.loads of every
line, the least any reader pays) and the bare module calls of a replay
(decide and learn on lines parsed beforehand). The first rows are by CPU
time, with the native path on one thread: together the two baselines bound
what any replay on one thread can reach. verify and replay take the toolkit's native path
(sorvane_cli._native) for a log that replays without a problem, as this one
does, and so does eval; the rows marked "Python path" run the same command
with the native path switched off. The toolkit reads with orjson where
installed; the "without orjson" row shows the Python path's verify without it.

The native path reads and hashes lines ahead on every usable CPU (at most
8) while the calling thread replays them in order, so its speed is a matter
of wall-clock time: the path rows ("native path", "native path, 1 thread",
"Python path" and their ratio) are measured by wall clock, each beside
reading the log in the same turn, and say how many threads there were. The
one-thread row is the native path's work alone, to compare by CPU.

The machine is shared: a neighbour's load slows both clocks, by up to a
half for seconds at a time, and never speeds them up. Each figure is
therefore the best of repeated runs, what the code does when left alone,
and the runs of one row are measured in turns, so the ratio holds even when
the machine's speed swings between rows.

    PYTHONPATH=build/<dir>:. python3 bench/bench_cli.py [--decisions N] [--repeat N]
"""
import argparse
import gc
import io
import json
import math
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import sorvane  # noqa: E402
from sorvane_cli import jobs  # noqa: E402
from sorvane_cli.log import lines as logread  # noqa: E402
from sorvane_cli.replay import native as native_replay  # noqa: E402
from sorvane_cli.__main__ import main as cli  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _report import Figure, print_table  # noqa: E402
from _workloads import random_decision  # noqa: E402

TARGET_RATE = 20_000
# How much faster the native path must be than the Python path.
NATIVE_SPEEDUP = {"verify": 3.0, "replay": 3.0, "eval weighted, baseline + 1 target": 2.0}
# Lines of the log per second that verify aims at, on the native path.
LINES_GOAL = 100_000
HORIZON = 1000.0


def write_m_log(path, decisions, seed=7):
    rng = random.Random(seed)
    state = sorvane.create(18, HORIZON, epsilon=0.1)
    with open(path, "w") as out:
        for i in range(decisions):
            context, candidates = random_decision(rng, 10, 10, 5)
            record = sorvane.decide(state, context, candidates, float(i), "bench")
            out.write(sorvane.log_line(record) + "\n")
            reward = 1.0 if rng.random() < 0.1 + 0.05 * record.chosen else 0.0
            out.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, i + 1.0)) + "\n")


def seconds(run, repeat):
    """The least wall-clock and CPU seconds of `run` over `repeat` runs."""
    wall, cpu = [], []
    for _ in range(repeat):
        gc.collect()
        start, start_cpu = time.perf_counter(), time.process_time()
        run()
        cpu.append(time.process_time() - start_cpu)
        wall.append(time.perf_counter() - start)
    return min(wall), min(cpu)


def paired_cpu(run, baseline, repeat):
    """The least CPU seconds of `run` and of `baseline`, measured in turns,
    so that both see the same swings of a shared machine."""
    ours, theirs = [], []
    for _ in range(repeat):
        theirs.append(seconds(baseline, 1)[1])
        ours.append(seconds(run, 1)[1])
    return min(ours), min(theirs)


def parse_only(path):
    with open(path, "rb") as f:
        for line in f:
            json.loads(line)


def module_calls(parsed):
    """decide and learn alone, on lines parsed beforehand."""
    def run():
        state = sorvane.create(18, HORIZON, epsilon=0.1)
        for obj in parsed:
            if obj["event"] == "decision":
                record = obj["record"]
                sorvane.decide(state, obj["context"], [tuple(c) for c in obj["candidates"]], record["t"],
                               record["salt"])
            else:
                sorvane.learn(state, obj["decision_id"], obj["reward"], math.nan)
    return run


def without_orjson(run):
    """`run` with the toolkit reading every line through json alone."""
    def plain():
        saved = logread._fast_loads
        logread._fast_loads = None
        try:
            run()
        finally:
            logread._fast_loads = saved
    return plain


def one_thread(run):
    """`run` with the native path on the calling thread alone."""
    def alone():
        saved = jobs.threads
        jobs.share_cpus(1)
        try:
            run()
        finally:
            jobs.share_cpus(saved)
    return alone


def python_path(run):
    """`run` with the toolkit's native replay switched off."""
    def plain():
        saved = native_replay._native
        native_replay._native = None
        try:
            run()
        finally:
            native_replay._native = saved
    return plain


def command(argv):
    def run():
        saved = sys.stdout
        sys.stdout = io.StringIO()
        try:
            status = cli(argv)
        finally:
            sys.stdout = saved
        if status != 0:
            raise SystemExit(f"sorvane {' '.join(argv)} exited with {status}")
    return run


def figures(quick=False, decisions=4000, repeat=7, paths_only=False):
    """Decision lines per second of CPU time, each beside reading the log.
    `paths_only` keeps to the rows that compare the native and Python
    paths, which hold no parsed log in memory: for logs of any size."""
    if quick:
        decisions, repeat = 400, 2
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "m.log")
        write_m_log(path, decisions)
        flags = ["--horizon", str(HORIZON), "--epsilon", "0.1", "--quiet"]
        read = lambda: parse_only(path)  # noqa: E731
        out = [Figure("read the log (json.loads)", decisions / seconds(read, repeat)[1], "/s")]
        if not paths_only:
            out += module_figures(path, decisions, repeat, flags, read)
        out += path_figures(path, tmp, decisions, repeat, flags, read)
    return out


def module_figures(path, decisions, repeat, flags, read):
    with open(path, "rb") as f:
        parsed = [json.loads(line) for line in f]
    # By CPU time, the work per decision: the native path on one thread, as
    # its helpers' CPU would count too.
    runs = [
        ("decide + learn, pre-parsed", module_calls(parsed), False),
        ("verify", one_thread(command(["verify", path] + flags)), True),
        ("eval weighted, baseline only", one_thread(command(["eval", path, "--method", "weighted"] + flags)), True),
        ("eval weighted, baseline + 1 target",
         one_thread(command(["eval", path, "--method", "weighted"] + flags + ["--target", "epsilon=0.2"])), True),
        ("eval rejection, baseline + 1 target",
         command(["eval", path, "--method", "rejection"] + flags + ["--target", "epsilon=0.2"]), True),
    ]
    if logread._fast_loads is not None:
        runs.append(("verify, Python path without orjson",
                     python_path(without_orjson(command(["verify", path] + flags))), False))
    out = []
    for name, run, judged in runs:
        cpu, reading_cpu = paired_cpu(run, read, repeat)
        rate, reading = decisions / cpu, decisions / reading_cpu
        out.append(Figure(name, rate, "/s", "read the log (json.loads)", reading,
                          f">= {TARGET_RATE} /s" if judged else "", (rate >= TARGET_RATE) if judged else None))
    return out


def path_figures(path, tmp, decisions, repeat, flags, read):
    """Each command through the native path (on its threads and on one)
    and the Python path, in turns, by wall clock."""
    out = []
    state = os.path.join(tmp, "state.hex")
    threads = jobs.threads
    for name, argv in (("verify", ["verify", path] + flags),
                       ("replay", ["replay", path, "-o", state] + flags),
                       ("eval weighted, baseline + 1 target",
                        ["eval", path, "--method", "weighted"] + flags + ["--target", "epsilon=0.2"])):
        runs = (read, python_path(command(argv)), one_thread(command(argv)), command(argv))
        reading, python, alone, native = best_wall(runs, repeat)
        wall = "read the log (json.loads), wall"
        out.append(Figure(f"{name}, Python path, wall", decisions / python, "/s", wall, decisions / reading))
        out.append(Figure(f"{name}, native path, 1 thread, wall", decisions / alone, "/s", wall,
                          decisions / reading))
        out.append(Figure(f"{name}, native path, {threads} threads, wall", decisions / native, "/s", wall,
                          decisions / reading))
        if name == "verify":
            # Every decision of this log is resolved: two lines each.
            out.append(Figure(f"{name}, native path, log lines, wall", 2 * decisions / native, "/s", "", None,
                              f">= {LINES_GOAL} /s", 2 * decisions / native >= LINES_GOAL))
        wanted = NATIVE_SPEEDUP[name]
        out.append(Figure(f"{name}, native over Python, wall", decisions / native, "/s",
                          f"{name}, Python path", decisions / python, f">= {wanted}x", python / native >= wanted))
    return out


def best_wall(runs, repeat):
    """The least wall-clock seconds of each run, the runs measured in turns."""
    times = [[] for _ in runs]
    for _ in range(repeat):
        for k, r in enumerate(runs):
            times[k].append(seconds(r, 1)[0])
    return [min(t) for t in times]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--decisions", type=int, default=4000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--paths-only", action="store_true",
                        help="only the rows comparing the native and Python paths (no log held in memory)")
    args = parser.parse_args()
    print_table(figures(decisions=args.decisions, repeat=args.repeat, paths_only=args.paths_only),
                f"M workload log, {args.decisions} decisions, every one resolved: decision lines per second of CPU time")


if __name__ == "__main__":
    main()
