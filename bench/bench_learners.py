"""What the learners earn in the simulated click world (`_click_world`).

The built-in model against the joint model (`sorvane_cli.JointModel`) through
the taps, epsilon-greedy and SquareCB, on the same worlds and the same
traffic: each run's expected reward over its last rounds as a share of the
best policy's, per seed, then the mean and the spread (sample standard
deviation) over the seeds. Rewards are reported at once.

    PYTHONPATH=build/<dir>:. python3 bench/bench_learners.py [--seeds 5] [--rounds 50000]
        [--last 10000] [--bits 18] [--learner NAME=SPEC ...]

A learner SPEC is `builtin,epsilon=E` or
`joint,learning_rate=L,epsilon=E,explore=epsilon-greedy|squarecb,gamma_scale=G`
(omitted keys take the defaults).
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sorvane  # noqa: E402
from _click_world import World, run, share_of_best  # noqa: E402
from _report import Figure  # noqa: E402

from sorvane_cli import JointModel  # noqa: E402

LEARNERS = {
    "built-in, epsilon 0.05": "builtin,epsilon=0.05",
    "joint, epsilon 0.05": "joint,explore=epsilon-greedy,epsilon=0.05",
    "joint, epsilon 0.01": "joint,explore=epsilon-greedy,epsilon=0.01",
    "joint, SquareCB (defaults)": "joint",
}


def parse_spec(spec):
    kind, *pairs = spec.split(",")
    options = dict(pair.split("=", 1) for pair in pairs)
    return kind, options


def one_run(spec, seed, rounds, last, bits):
    kind, options = parse_spec(spec)
    epsilon = float(options.pop("epsilon", 0.05))
    state = sorvane.create(bits, 1e9, 0.0, epsilon)
    world = World(seed)
    if kind == "builtin":
        chosen, best = run(world, 1000 + seed, rounds, state)
    else:
        settings = {}
        if "learning_rate" in options:
            settings["learning_rate"] = float(options["learning_rate"])
        if "gamma_scale" in options:
            settings["gamma_scale"] = float(options["gamma_scale"])
        if "initial_accumulator" in options:
            settings["initial_accumulator"] = float(options["initial_accumulator"])
        if "explore" in options:
            settings["explore"] = options["explore"]
        model = JointModel(bits, **settings)
        model.check_state(state)
        chosen, best = run(world, 1000 + seed, rounds, state, score=model.score, explore=model.explore,
                           train=model.train)
    return share_of_best(chosen, best, last)


def figures(quick=False):
    """The mean share of each learner, beside the built-in model's, for run_all."""
    seeds, rounds, last = (range(1, 3), 3000, 1000) if quick else (range(1, 6), 50_000, 10_000)
    means = {name: statistics.mean(one_run(spec, seed, rounds, last, 18) for seed in seeds)
             for name, spec in LEARNERS.items()}
    base_name = next(iter(LEARNERS))
    out = []
    for name, mean in means.items():
        if name == base_name:
            continue
        target = "at least 93%" if "SquareCB" in name else ""
        out.append(Figure(f"click world, {name}", 100 * mean, "%", base_name, 100 * means[base_name], target,
                          (mean >= 0.93) if target else None))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=50_000)
    parser.add_argument("--last", type=int, default=10_000)
    parser.add_argument("--bits", type=int, default=18)
    parser.add_argument("--learner", action="append", metavar="NAME=SPEC",
                        help="learners to run instead of the standard four")
    args = parser.parse_args()
    learners = dict(item.split("=", 1) for item in args.learner) if args.learner else LEARNERS
    seeds = list(range(1, args.seeds + 1))
    print(f"share of the best policy's expected reward over the last {args.last:,} of "
          f"{args.rounds:,} rounds, bits {args.bits}")
    print(f"{'learner':28}" + "".join(f"{'seed ' + str(s):>9}" for s in seeds)
          + f"{'mean':>9}{'spread':>9}{'s/run':>8}")
    for name, spec in learners.items():
        started = time.perf_counter()
        shares = [one_run(spec, seed, args.rounds, args.last, args.bits) for seed in seeds]
        per_run = (time.perf_counter() - started) / len(seeds)
        spread = statistics.stdev(shares) if len(shares) > 1 else 0.0
        print(f"{name:28}" + "".join(f"{100 * s:8.1f}%" for s in shares)
              + f"{100 * statistics.mean(shares):8.1f}%{100 * spread:8.2f}{per_run:8.1f}", flush=True)


if __name__ == "__main__":
    main()
