"""Times `decide` from Python on fixed workloads.

One line per workload: the median microseconds per call of `decide` beside
that of a no-op Python function called with the same arguments in the same
run, and their ratio. M is the headline workload (target: at most 30 us
beyond the no-op call).

Those lines pass the same objects again and again, to an untrained model.
The "fresh" lines are what a log replay does instead: every call gets
other inputs, just parsed by json (new str objects, candidates as tuples
made from lists), and the model has learned from earlier decisions, so its
coordinates are real memory rather than untouched zero pages.

    PYTHONPATH=build/<dir> python3 bench/bench_decide.py [--clock cpu] [--only M]
"""
import argparse
import json
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sorvane  # noqa: E402
from _report import Figure, print_table  # noqa: E402
from _timing import median_us  # noqa: E402
from _workloads import WORKLOADS, random_decision, workload  # noqa: E402


def noop(state, context, candidates, t, salt):
    return None


def interleaved(call_decide, after_decide, call_noop, after_noop, number, repeat, clock, rounds=3):
    """(decide, no-op) median microseconds per call, measured in turns so
    that drift on a shared machine hits both; `after_*` run after each batch,
    outside the timing."""
    d_samples, b_samples = [], []
    for _ in range(rounds):
        d_samples.append(median_us(call_decide, number, repeat // rounds or 1, after_decide, clock))
        b_samples.append(median_us(call_noop, number, repeat // rounds or 1, after_noop, clock))
    return sorted(d_samples)[rounds // 2], sorted(b_samples)[rounds // 2]


def measure(name, repeat=41, calls=0, clock="wall"):
    """(decide, no-op) median microseconds per call for one workload."""
    bits, n_context, n_candidates, n_features = WORKLOADS[name]
    context, candidates = workload(n_context, n_candidates, n_features)
    state = sorvane.create(bits, 1.0, epsilon=0.1)
    number = calls or max(200, 200_000 // pairs_of(name))

    def drain():
        # Records pile up in the ledger; resolve them outside the timing.
        sorvane.expire(state, 10.0)

    decide = sorvane.decide

    def call_decide():
        decide(state, context, candidates, 0.0, "bench")

    def call_noop():
        noop(state, context, candidates, 0.0, "bench")

    # Warm up buffers, caches and the model's pages.
    for _ in range(number):
        call_decide()
    drain()

    return interleaved(call_decide, drain, call_noop, None, number, repeat, clock)


def varied_lines(name, count, seed=7):
    """`count` different decisions of the workload's shape, as JSON lines."""
    _, n_context, n_candidates, n_features = WORKLOADS[name]
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        context, candidates = random_decision(rng, n_context, n_candidates, n_features)
        lines.append(json.dumps({"context": context, "candidates": [list(c) for c in candidates]}))
    return lines


class Fresh:
    """Arguments parsed anew for every call, a batch ahead, outside the timing."""

    def __init__(self, lines, number):
        self.lines = lines
        self.number = number
        self.at = 0
        self.batch = iter(())
        self.refill()

    def refill(self):
        parsed = []
        for _ in range(self.number):
            obj = json.loads(self.lines[self.at])
            self.at = (self.at + 1) % len(self.lines)
            parsed.append((obj["context"], [tuple(c) for c in obj["candidates"]]))
        self.batch = iter(parsed)

    def __next__(self):
        return next(self.batch)


def measure_fresh(name, repeat=41, calls=0, clock="wall"):
    """(decide, no-op) median microseconds per call on freshly parsed inputs."""
    bits = WORKLOADS[name][0]
    number = calls or max(200, 200_000 // pairs_of(name))
    lines = varied_lines(name, 4 * number)
    state = sorvane.create(bits, 1e9, epsilon=0.1)
    # Train on every line once: the model's arrays become real memory.
    for k, line in enumerate(lines):
        obj = json.loads(line)
        record = sorvane.decide(state, obj["context"], [tuple(c) for c in obj["candidates"]], 0.0, "warm")
        sorvane.learn(state, record.decision_id, float(k % 3 == 0), 0.0)

    decide = sorvane.decide
    fresh = Fresh(lines, number)

    def call_decide():
        context, candidates = next(fresh)
        decide(state, context, candidates, 0.0, "bench")

    def call_noop():
        context, candidates = next(fresh)
        noop(state, context, candidates, 0.0, "bench")

    def between():
        sorvane.expire(state, 2e9)
        fresh.refill()

    for _ in range(number):
        call_decide()
    between()
    return interleaved(call_decide, between, call_noop, fresh.refill, number, repeat, clock)


def pairs_of(name):
    _, n_context, n_candidates, n_features = WORKLOADS[name]
    return (1 + n_context) * (2 + n_features) * n_candidates


def figures(quick=False, names=None, repeat=41, calls=0, clock="wall"):
    out = []
    for name in names or WORKLOADS:
        d, b = measure(name, repeat=9 if quick else repeat, calls=calls, clock=clock)
        target = "net <= 30 us" if name == "M" else ""
        out.append(Figure(f"decide {name} ({pairs_of(name)} pairs)", d, "us", "no-op call, same arguments", b,
                          target, (d - b <= 30.0) if target else None))
    for name in names or WORKLOADS:
        d, b = measure_fresh(name, repeat=9 if quick else repeat, calls=calls, clock=clock)
        out.append(Figure(f"decide {name} fresh, trained", d, "us", "no-op call, same arguments", b))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=41, help="batches per measurement")
    parser.add_argument("--calls", type=int, default=0, help="calls per batch (default: by size)")
    parser.add_argument("--only", default="", help="comma-separated workloads")
    parser.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                        help="elapsed time, or this thread's CPU time (steadier on a shared machine)")
    args = parser.parse_args()
    names = args.only.split(",") if args.only else None
    print_table(figures(names=names, repeat=args.repeat, calls=args.calls, clock=args.clock),
                f"clock: {args.clock}")


if __name__ == "__main__":
    main()
