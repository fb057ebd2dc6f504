"""Times decide + learn with the joint model (`sorvane_cli.JointModel`)
through the taps against decide + learn with the built-in model.

One pair of calls is a decision on the M workload and the learn of its
reward; the two learners are timed in turns in the same run, so drift on a
shared machine hits both. The joint model reads the inputs a second time
(its score tap gets the caller's objects, not the engine's vectors) and
pays for three Python calls, which is what the target allows for: at most
2x the built-in pair. The M workload decides on the same inputs every
time, and the joint model hashes inputs that read the same as the last
call's only once; a second row decides on M-sized inputs that change from
each call to the next (64 drawn ones in turn), where it hashes every time.

Then `sorvane verify` of a log of --verify-decisions decisions in the click
world (`_click_world`) written through the joint model, against one written
with the built-in model (target: at least half as fast), each timed as the
best of three whole runs.

    PYTHONPATH=build/<dir>:. python3 bench/bench_joint.py [--clock cpu] [--calls 2000] [--repeat 15]
        [--verify-decisions 200000]
"""
import argparse
import contextlib
import io
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sorvane  # noqa: E402
from _report import Figure, print_table  # noqa: E402
from _timing import median_us  # noqa: E402
from _click_world import World, run  # noqa: E402
from _workloads import WORKLOADS, random_decision, workload  # noqa: E402

from sorvane_cli import JointModel, header_line  # noqa: E402
from sorvane_cli.__main__ import main as cli  # noqa: E402

VERIFY_BITS = 18


def pair(state, decisions, decide_taps, learn_taps):
    """One decide + learn on `state`, over `decisions` ((context,
    candidates) pairs) in turn, as a call without arguments."""
    counter = [0]

    def call():
        k = counter[0]
        counter[0] = k + 1
        context, candidates = decisions[k % len(decisions)]
        record = sorvane.decide(state, context, candidates, float(k), "b", **decide_taps)
        sorvane.learn(state, record.decision_id, 1.0 if record.chosen % 2 == 0 else 0.0, float(k), **learn_taps)

    return call


def pair_figures(calls, repeat, clock, rounds=3):
    bits, n_context, n_candidates, n_features = WORKLOADS["M"]
    rng = random.Random(3)
    changing = [random_decision(rng, n_context, n_candidates, n_features) for _ in range(64)]
    return (pair_figure([workload(n_context, n_candidates, n_features)], "M", calls, repeat, clock, rounds)
            + pair_figure(changing, "M, inputs new every call", calls, repeat, clock, rounds))


def pair_figure(decisions, name, calls, repeat, clock, rounds):
    bits = WORKLOADS["M"][0]
    model = JointModel(bits)
    built_in = pair(sorvane.create(bits, 1e9), decisions, {}, {})
    joint = pair(sorvane.create(bits, 1e9), decisions,
                 {"score": model.score, "explore": model.explore}, {"train": model.train})
    for call in (built_in, joint):  # warm: buffers grown, pages touched
        for _ in range(calls):
            call()
    b_samples, j_samples = [], []
    for _ in range(rounds):
        b_samples.append(median_us(built_in, calls, repeat // rounds or 1, clock=clock))
        j_samples.append(median_us(joint, calls, repeat // rounds or 1, clock=clock))
    b, j = sorted(b_samples)[rounds // 2], sorted(j_samples)[rounds // 2]
    return [Figure(f"decide + learn {name}, joint model (taps)", j, "us", "the same, built-in", b,
                   "at most 2x", j <= 2.0 * b)]


def write_log(path, decisions, joint):
    state = sorvane.create(VERIFY_BITS, 1e9)
    model = JointModel(VERIFY_BITS) if joint else None
    taps = {"score": model.score, "explore": model.explore, "train": model.train} if joint else {}
    with open(path, "w") as log:
        log.write(header_line(VERIFY_BITS, 1e9, model=model) + "\n")
        run(World(1), 7, decisions, state, log=log, **taps)


def verify_seconds(path, times=3):
    best = None
    for _ in range(times):
        started = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()) as out:
            status = cli(["verify", path, "--quiet"])
        seconds = time.perf_counter() - started
        if status != 0:
            raise SystemExit(f"verify did not prove {path}: {out.getvalue()}")
        best = seconds if best is None else min(best, seconds)
    return best


def verify_figures(decisions):
    with tempfile.TemporaryDirectory() as folder:
        built_in, joint = os.path.join(folder, "built-in.log"), os.path.join(folder, "joint.log")
        write_log(built_in, decisions, False)
        write_log(joint, decisions, True)
        b, j = verify_seconds(built_in), verify_seconds(joint)
    return [Figure(f"verify {decisions:,} decisions, joint model", decisions / j, "dec/s",
                   "the same, built-in model", decisions / b, "at least 0.5x", j <= 2.0 * b)]


def figures(quick=False):
    """Every figure of this bench, for run_all (by CPU time)."""
    if quick:
        return pair_figures(200, 3, "cpu") + verify_figures(2000)
    return pair_figures(2000, 15, "cpu") + verify_figures(200_000)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--clock", choices=("wall", "cpu"), default="cpu")
    parser.add_argument("--verify-decisions", type=int, default=200_000, help="0: no verify rows")
    args = parser.parse_args()
    print_table(pair_figures(args.calls, args.repeat, args.clock), f"decide + learn, {args.clock} clock")
    if args.verify_decisions:
        print_table(verify_figures(args.verify_decisions), "verify, wall clock, best of three")


if __name__ == "__main__":
    main()
