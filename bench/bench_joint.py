"""Times decide + learn with the joint model (`sorvane_cli.JointModel`)
through the taps against decide + learn with the built-in model.

One pair of calls is a decision on the M workload and the learn of its
reward; the two learners are timed in turns in the same run, so drift on a
shared machine hits both. The joint model hashes the inputs a second time
(its score tap gets the caller's objects, not the engine's vectors) and
pays for three Python calls, which is what the target allows for: at most
2x the built-in pair.

    PYTHONPATH=build/<dir>:. python3 bench/bench_joint.py [--clock cpu] [--calls 2000] [--repeat 15]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sorvane  # noqa: E402
from _report import Figure, print_table  # noqa: E402
from _timing import median_us  # noqa: E402
from _workloads import WORKLOADS, workload  # noqa: E402

from sorvane_cli import JointModel  # noqa: E402


def pair(state, context, candidates, decide_taps, learn_taps):
    """One decide + learn on `state`, as a call without arguments."""
    counter = [0]

    def call():
        k = counter[0]
        counter[0] = k + 1
        record = sorvane.decide(state, context, candidates, float(k), "b", **decide_taps)
        sorvane.learn(state, record.decision_id, 1.0 if record.chosen % 2 == 0 else 0.0, float(k), **learn_taps)

    return call


def figures(calls, repeat, clock, rounds=3):
    bits, n_context, n_candidates, n_features = WORKLOADS["M"]
    context, candidates = workload(n_context, n_candidates, n_features)
    model = JointModel(bits)
    built_in = pair(sorvane.create(bits, 1e9), context, candidates, {}, {})
    joint = pair(sorvane.create(bits, 1e9), context, candidates,
                 {"score": model.score, "explore": model.explore}, {"train": model.train})
    for call in (built_in, joint):  # warm: buffers grown, pages touched
        for _ in range(calls):
            call()
    b_samples, j_samples = [], []
    for _ in range(rounds):
        b_samples.append(median_us(built_in, calls, repeat // rounds or 1, clock=clock))
        j_samples.append(median_us(joint, calls, repeat // rounds or 1, clock=clock))
    b, j = sorted(b_samples)[rounds // 2], sorted(j_samples)[rounds // 2]
    return [Figure("decide + learn M, joint model (taps)", j, "us", "decide + learn M, built-in", b,
                   "at most 2x", j <= 2.0 * b)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--clock", choices=("wall", "cpu"), default="cpu")
    args = parser.parse_args()
    print_table(figures(args.calls, args.repeat, args.clock), f"decide + learn, {args.clock} clock")


if __name__ == "__main__":
    main()
