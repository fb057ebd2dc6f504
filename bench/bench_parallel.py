"""Times `sorvane sweep` and `sorvane verify --checkpoints` with two local
workers against the same commands run in one process, on an M-workload log.

The log: bits 18, 10 context features, 10 candidates of 5 features, every
decision resolved, a checkpoint (the serialized state) before every quarter
of it. The sweep's grid is 8 configurations of 4 models (epsilon 0.05, 0.1 x
forgetfulness 0.999, 0.9999 x bits 16, 18), so 4 jobs of equal size; verify
runs in 4 segments.

Each figure is decision lines per second; its ratio to the baseline is the
speedup. The machine is shared: while a neighbour keeps a core busy, two
workers get no more CPU than one process does, and the wall-clock ratio
says nothing about the code. So every pair of runs goes in turns, each
figure is the best of its turns, and each speedup is given twice: by wall
clock, and by CPU time, where the parallel run's time is its critical path
(the command's own CPU seconds, locating and merging included, plus half
its workers' CPU seconds: its jobs are of equal size, two per worker), the
wall-clock time it takes when both cores are its own. A last row per
command gives the CPU seconds the parallel run got per wall second: 2 when
both cores were free.

    PYTHONPATH=build/<dir>:. python3 bench/bench_parallel.py [--decisions N] [--repeat N]
"""
import argparse
import io
import os
import random
import resource
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import sorvane  # noqa: E402
from sorvane_cli.__main__ import main as cli  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _report import Figure, print_table  # noqa: E402
from _workloads import random_decision  # noqa: E402
from bench_cli import HORIZON  # noqa: E402

TARGET_SWEEP = 1.7
GRID = ["--grid", "epsilon=0.05,0.1", "--grid", "forgetfulness=0.999,0.9999", "--grid", "bits=16,18"]
FLAGS = ["--horizon", str(HORIZON), "--epsilon", "0.1", "--quiet"]


def write_m_log(path, checkpoints, decisions, segments, seed=7):
    """bench_cli's M log, with a checkpoint before each segment but the first."""
    rng = random.Random(seed)
    state = sorvane.create(18, HORIZON, epsilon=0.1)
    os.makedirs(checkpoints, exist_ok=True)
    every = decisions // segments
    with open(path, "w") as out:
        for i in range(decisions):
            if i and i % every == 0 and i // every < segments:
                with open(os.path.join(checkpoints, f"state-{i:09d}.hex"), "w") as f:
                    f.write(sorvane.serialize(state))
            context, candidates = random_decision(rng, 10, 10, 5)
            record = sorvane.decide(state, context, candidates, float(i), "bench")
            out.write(sorvane.log_line(record) + "\n")
            reward = 1.0 if rng.random() < 0.1 + 0.05 * record.chosen else 0.0
            out.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, i + 1.0)) + "\n")


def timed(argv):
    """Wall seconds, this process's CPU seconds and its workers' CPU seconds."""
    saved = sys.stdout
    sys.stdout = io.StringIO()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start, start_cpu = time.perf_counter(), time.process_time()
    try:
        status = cli(argv)
    finally:
        sys.stdout = saved
    wall, own = time.perf_counter() - start, time.process_time() - start_cpu
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    workers = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if status != 0:
        raise SystemExit(f"sorvane {' '.join(argv)} exited with {status}")
    return wall, own, workers


def in_turns(runs, repeat):
    """{name: (least wall, least critical-path CPU, CPU per wall of the
    least-wall run)} over `repeat` turns of every run."""
    wall, critical, share = {}, {}, {}
    for _ in range(repeat):
        for name, argv in runs.items():
            w, own, workers = timed(argv)
            path = own + workers / 2
            if name not in wall or w < wall[name]:
                wall[name], share[name] = w, (own + workers) / w
            critical[name] = min(critical.get(name, path), path)
    return wall, critical, share


def figures(quick=False, decisions=200_000, repeat=2):
    if quick:
        decisions, repeat = 2_000, 1
    with tempfile.TemporaryDirectory() as tmp:
        path, checkpoints = os.path.join(tmp, "m.log"), os.path.join(tmp, "checkpoints")
        write_m_log(path, checkpoints, decisions, 4)
        # Weighted: the method whose jobs are the targets that share a model.
        sweep = ["sweep", path] + FLAGS + GRID + ["--method", "weighted", "--bootstrap", "200"]
        runs = {
            "sweep serial": sweep + ["--workers", "1"],
            "sweep parallel": sweep + ["--workers", "2"],
            "verify serial": ["verify", path] + FLAGS,
            "verify parallel": ["verify", path] + FLAGS + ["--checkpoints", checkpoints, "--workers", "2"],
        }
        wall, critical, share = in_turns(runs, repeat)
    out = []
    for command, baseline, target in (("sweep", "the same sweep, --workers 1", TARGET_SWEEP),
                                      ("verify", "verify, serial", None)):
        what = "sweep, 8 configs in 4 jobs, 2 workers" if command == "sweep" else "verify, 4 segments, 2 workers"
        for clock, seconds in (("wall clock", wall), ("CPU time", critical)):
            par, ser = decisions / seconds[f"{command} parallel"], decisions / seconds[f"{command} serial"]
            judged = target is not None and clock == "CPU time"
            out.append(Figure(f"{what}, {clock}", par, "/s", baseline, ser,
                              f">= {target}x" if judged else "", (par / ser >= target) if judged else None))
        out.append(Figure(f"{command}, 2 workers: CPU s per wall s", share[f"{command} parallel"], "",
                          "the serial run", share[f"{command} serial"], "2 with both cores free"))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--decisions", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    start = time.perf_counter()
    load = os.getloadavg()[0]
    rows = figures(decisions=args.decisions, repeat=args.repeat)
    print_table(rows, f"M workload log, {args.decisions} decisions: decision lines per second, best of "
                      f"{args.repeat} turns; load average {load:.1f} before, {os.getloadavg()[0]:.1f} after "
                      f"({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
