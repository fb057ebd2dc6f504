"""Compares `decide` on the M workload, and `learn` with 100,000 decisions
pending, across builds of the module, in one process, the builds taking
turns round after round.

The machine is shared and its speed swings by half within seconds, so two
separate benchmark runs cannot tell a 5% change from noise; builds measured
in turns inside one process share the same swings. Each build gets its own
trained state; each round times fresh inputs (just parsed by json, as a log
replay gives them) and the same inputs reused, by thread CPU time, then
`learn` of the fresh decisions, oldest first. For `learn` at scale, each
build then holds 100,000 pending M decisions; each round resolves pending
decisions picked at random (the same ones in every build) and makes as many
new ones outside the timing, so the ledger stays at that size.

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
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_decide import varied_lines  # noqa: E402

CALLS = 200
PENDING = 100_000


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


def pending_states(modules, lines, count):
    """Per build, a state holding `count` pending decisions, and their ids
    (the same in every build)."""
    inputs = parsed(lines)
    states, ids = [], None
    for module in modules:
        state = module.create(18, 1e9, epsilon=0.1)
        made = [module.decide(state, *inputs[k % len(inputs)], 0.0, "p").decision_id for k in range(count)]
        assert ids is None or made == ids, "builds made different decision ids"
        states.append(state)
        ids = made
    return states, ids


def time_learn(modules, lines, rounds):
    """Microseconds per `learn` call, per build, one sample per round."""
    states, pending = pending_states(modules, lines, PENDING)
    inputs = parsed(lines)
    rng = random.Random(11)
    made = PENDING
    samples = [[] for _ in modules]
    clock = time.thread_time_ns
    for _ in range(rounds):
        batch = []
        for _ in range(CALLS):
            k = rng.randrange(len(pending))
            pending[k], pending[-1] = pending[-1], pending[k]
            batch.append(pending.pop())
        rewards = [float(rng.random() < 0.3) for _ in batch]
        for i, (module, state) in enumerate(zip(modules, states)):
            learn = module.learn
            t0 = clock()
            for decision_id, reward in zip(batch, rewards):
                learn(state, decision_id, reward, 0.0)
            t1 = clock()
            samples[i].append((t1 - t0) / CALLS / 1000)
        for k in range(made, made + CALLS):
            context, candidates = inputs[k % len(inputs)]
            ids = {m.decide(s, context, candidates, 0.0, "p").decision_id for m, s in zip(modules, states)}
            assert len(ids) == 1
            pending.append(ids.pop())
        made += CALLS
    return samples


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+", help="directories holding a built module")
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--no-learn", action="store_true", help="time decide only")
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

    pending = None if args.no_learn else time_learn(modules, lines, args.rounds)

    columns = [("fresh us", fresh), ("reused us", reused), ("learn us", learned)]
    if pending:
        columns.append(("learn 100k us", pending))
    base = [statistics.median(m[0]) for _, m in columns]
    print(f"{'build':40}" + "".join(f" {name:>13} {'ratio':>6}" for name, _ in columns))
    for i, d in enumerate(args.builds):
        cells = [statistics.median(m[i]) for _, m in columns]
        print(f"{d:40}" + "".join(f" {c:13.2f} {c / b:6.3f}" for c, b in zip(cells, base)))


if __name__ == "__main__":
    main()
