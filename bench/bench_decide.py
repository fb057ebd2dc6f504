"""Times `decide` from Python on fixed workloads.

One line per workload: the median microseconds per call of `decide` beside
that of a no-op Python function called with the same arguments in the same
run, and their ratio. M is the headline workload (target: at most 30 us
beyond the no-op call).

    PYTHONPATH=build/<dir> python3 bench/bench_decide.py [--clock cpu] [--only M]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sorvane  # noqa: E402
from _report import Figure, print_table  # noqa: E402
from _timing import median_us  # noqa: E402
from _workloads import WORKLOADS, workload  # noqa: E402


def noop(state, context, candidates, t, salt):
    return None


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

    # Interleave the two measurements so drift on a shared machine hits both.
    rounds = 3
    d_samples, b_samples = [], []
    for _ in range(rounds):
        d_samples.append(median_us(call_decide, number, repeat // rounds or 1, drain, clock))
        b_samples.append(median_us(call_noop, number, repeat // rounds or 1, clock=clock))
    return sorted(d_samples)[rounds // 2], sorted(b_samples)[rounds // 2]


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
