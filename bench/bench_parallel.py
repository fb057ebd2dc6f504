"""Times `sorvane sweep` and `sorvane verify --checkpoints` with two local
workers against the same commands run in one process, on an M-workload log.

The log: bits 18, 10 context features, 10 candidates of 5 features, every
decision resolved, a checkpoint (the serialized state) before every quarter
of it. The sweep's grid is 8 configurations of 4 models (epsilon 0.05, 0.1 x
forgetfulness 0.999, 0.9999 x bits 16, 18), so 4 jobs of equal size; verify
runs in 4 segments.

Each figure is decision lines per second of wall-clock time; the ratio to
its baseline is the speedup. The machine is shared: a neighbour on the
second core slows the parallel run and not the serial one. So the runs go
in turns, each figure is the best of them, and a row gives the CPU seconds
the parallel run got per wall second: 2 when both cores were ours, less
when the speedup was capped by someone else's load, not by the code.

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
from bench_cli import HORIZON, features  # noqa: E402

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
            context = features(rng, "user_", 10)
            candidates = [(f"item-{rng.randrange(40)}", features(rng, "attr_", 5)) for _ in range(10)]
            record = sorvane.decide(state, context, candidates, float(i), "bench")
            out.write(sorvane.log_line(record) + "\n")
            reward = 1.0 if rng.random() < 0.1 + 0.05 * record.chosen else 0.0
            out.write(sorvane.log_line(sorvane.learn(state, record.decision_id, reward, i + 1.0)) + "\n")


def timed(argv):
    """Wall seconds and CPU seconds (this process and its finished workers)."""
    saved = sys.stdout
    sys.stdout = io.StringIO()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start, start_cpu = time.perf_counter(), time.process_time()
    try:
        status = cli(argv)
    finally:
        sys.stdout = saved
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = time.process_time() - start_cpu + (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if status != 0:
        raise SystemExit(f"sorvane {' '.join(argv)} exited with {status}")
    return wall, cpu


def in_turns(runs, repeat):
    """{name: (least wall, its CPU)} over `repeat` turns of every run."""
    best = {}
    for _ in range(repeat):
        for name, argv in runs.items():
            wall, cpu = timed(argv)
            if name not in best or wall < best[name][0]:
                best[name] = (wall, cpu)
    return best


def figures(quick=False, decisions=200_000, repeat=2):
    if quick:
        decisions, repeat = 2_000, 1
    with tempfile.TemporaryDirectory() as tmp:
        path, checkpoints = os.path.join(tmp, "m.log"), os.path.join(tmp, "checkpoints")
        write_m_log(path, checkpoints, decisions, 4)
        sweep = ["sweep", path] + FLAGS + GRID + ["--bootstrap", "200"]
        runs = {
            "sweep serial": sweep + ["--workers", "1"],
            "sweep parallel": sweep + ["--workers", "2"],
            "verify serial": ["verify", path] + FLAGS,
            "verify parallel": ["verify", path] + FLAGS + ["--checkpoints", checkpoints, "--workers", "2"],
        }
        best = in_turns(runs, repeat)
    rate = {name: decisions / wall for name, (wall, _) in best.items()}
    sweep_ratio = rate["sweep parallel"] / rate["sweep serial"]
    out = [
        Figure("sweep of 8 configurations (4 jobs), --workers 2", rate["sweep parallel"], "/s",
               "the same sweep, --workers 1", rate["sweep serial"], f">= {TARGET_SWEEP}x",
               sweep_ratio >= TARGET_SWEEP),
        Figure("verify --checkpoints, 4 segments, --workers 2", rate["verify parallel"], "/s",
               "verify, serial", rate["verify serial"]),
    ]
    for name in ("sweep parallel", "verify parallel"):
        wall, cpu = best[name]
        serial_wall, serial_cpu = best[name.replace("parallel", "serial")]
        out.append(Figure(f"{name.split()[0]} --workers 2: CPU s per wall s", cpu / wall, "",
                          "the serial run", serial_cpu / serial_wall, "2 with both cores free"))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--decisions", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    start = time.perf_counter()
    rows = figures(decisions=args.decisions, repeat=args.repeat)
    print_table(rows, f"M workload log, {args.decisions} decisions: decision lines per wall-clock second, "
                      f"best of {args.repeat} turns, load average {os.getloadavg()[0]:.1f} at the end "
                      f"({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
