"""Compares `decide` on the M workload across builds of the module, in one
process, the builds taking turns round after round.

The machine is shared and its speed swings by half within seconds, so two
separate benchmark runs cannot tell a 5% change from noise; builds measured
in turns inside one process share the same swings. Each build gets its own
trained state; each round times fresh inputs (just parsed by json, as a log
replay gives them) and the same inputs reused, by thread CPU time, then
`learn` of the fresh decisions, oldest first.

    python3 bench/ab_builds.py OLD_BUILD_DIR NEW_BUILD_DIR [...] [--rounds N]

A build directory is one holding a built sorvane*.so (for instance
`cmake --build build` of another checkout). Ratios are to the first build;
the first against a copy of itself comes out within about 4%.
"""
import argparse
import glob
import importlib.machinery
import importlib.util
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_decide import varied_lines  # noqa: E402

CALLS = 200


def load(directory):
    """The module built in `directory`, loaded beside any other build."""
    path = glob.glob(os.path.join(directory, "sorvane*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("sorvane", path)
    spec = importlib.util.spec_from_file_location("sorvane", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def parsed(lines):
    return [(obj["context"], [tuple(c) for c in obj["candidates"]]) for obj in map(json.loads, lines)]


def trained_state(module, lines):
    state = module.create(18, 1e9, epsilon=0.1)
    for k, (context, candidates) in enumerate(parsed(lines)):
        record = module.decide(state, context, candidates, 0.0, "warm")
        module.learn(state, record.decision_id, float(k % 3 == 0), 0.0)
    return state


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+", help="directories holding a built module")
    parser.add_argument("--rounds", type=int, default=60)
    args = parser.parse_args()

    lines = varied_lines("M", 10 * CALLS)
    modules = [load(d) for d in args.builds]
    states = [trained_state(m, lines) for m in modules]
    same_context, same_candidates = parsed(lines[:1])[0]
    fresh = [[] for _ in modules]
    reused = [[] for _ in modules]
    learned = [[] for _ in modules]
    decided = [len(lines)] * len(modules)  # each state's decision count: ids are "b:<count>"
    clock = time.thread_time_ns
    for r in range(args.rounds):
        start = (r * CALLS) % len(lines)
        for i, (module, state) in enumerate(zip(modules, states)):
            batch = parsed(lines[start:start + CALLS])  # new objects for every build
            decide = module.decide
            t0 = clock()
            for context, candidates in batch:
                decide(state, context, candidates, 0.0, "b")
            t1 = clock()
            for _ in range(CALLS):
                decide(state, same_context, same_candidates, 0.0, "b")
            t2 = clock()
            ids = [f"b:{decided[i] + k}" for k in range(CALLS)]
            learn = module.learn
            t3 = clock()
            for decision_id in ids:
                learn(state, decision_id, 1.0, 0.0)
            t4 = clock()
            decided[i] += 2 * CALLS
            module.expire(state, 2e9)
            fresh[i].append((t1 - t0) / CALLS / 1000)
            reused[i].append((t2 - t1) / CALLS / 1000)
            learned[i].append((t4 - t3) / CALLS / 1000)

    base = [statistics.median(m[0]) for m in (fresh, reused, learned)]
    print(f"{'build':40} {'fresh us':>9} {'ratio':>6} {'reused us':>10} {'ratio':>6} {'learn us':>9} {'ratio':>6}")
    for d, *columns in zip(args.builds, fresh, reused, learned):
        cells = [(statistics.median(c), statistics.median(c) / b) for c, b in zip(columns, base)]
        print(f"{d:40} {cells[0][0]:9.2f} {cells[0][1]:6.3f} {cells[1][0]:10.2f} {cells[1][1]:6.3f} "
              f"{cells[2][0]:9.2f} {cells[2][1]:6.3f}")


if __name__ == "__main__":
    main()
