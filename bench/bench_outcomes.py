"""Times `learn` and `expire` against the number of pending decisions, and
the decide-then-learn cycle, on the M workload: bits 18, 10 context features
and 10 candidates of 5 features, half text and half numbers.

Each line is one measurement beside its baseline from the same run, with
their ratio:

- learn, 100,000 pending against 10 pending, each call timed alone between
  untimed decides that keep the pending count steady. The learned record is
  the newest pending one (its data still in the caches: this isolates the
  ledger's own cost), the oldest (outcomes arriving in decision order) or a
  random pending one; the last two also pay for reading a record, and its
  feature list, that left the caches long ago. Median over interleaved
  rounds of the per-round median. Target: at most 2x.
- learn at steady state, 100,000 pending: decide and learn alternating long
  enough to pass the ledger's compactions; the mean includes them.
  The mean, against 10 pending, and the slowest call.
- expire with nothing due, 100,000 pending against 10 pending: the median
  per call. Target: under 1 ms.
- the cycle decide-then-learn against decide alone, per decision.

    PYTHONPATH=build/<dir> python3 bench/bench_outcomes.py [--pending N] [--rounds N]
"""
import argparse
import gc
import random
import statistics
import time
from collections import deque

import sorvane
from _report import Figure, print_table
from _workloads import features

BITS = 18
SALT = "bench"
HORIZON = 1e12  # nothing comes due unless a test asks for it


CONTEXTS = [features("user_", 10, seed) for seed in range(256)]
CANDIDATES = [(f"item-{c}", features("attr_", 5, c + 2)) for c in range(10)]


class Bandit:
    """A state with its pending ids, kept at a steady count."""

    def __init__(self, pending, order, seed=1):
        self.state = sorvane.create(BITS, HORIZON, epsilon=0.1)
        self.order = order
        self.rng = random.Random(seed)
        # Decision numbers, not id strings: an outcome arrives with a fresh
        # id string, so each learn gets one built just before it.
        self.ids = deque() if order != "random" else []
        self.n = 0
        for _ in range(pending):
            self.decide()
            self.ids.append(self.n - 1)

    def decide(self):
        """Decides; the decision's id is SALT:n for the n before the call."""
        self.n += 1
        return sorvane.decide(self.state, CONTEXTS[self.n % len(CONTEXTS)], CANDIDATES, float(self.n), SALT)

    def next_id(self):
        if self.order == "oldest":
            return self.ids.popleft()
        if self.order == "newest":
            return self.ids.pop()
        k = self.rng.randrange(len(self.ids))
        ids = self.ids
        ids[k], ids[-1] = ids[-1], ids[k]
        return ids.pop()

    def learn_times(self, calls):
        """Nanoseconds of each of `calls` learns, each after an untimed decide."""
        clock = time.perf_counter_ns
        learn, state, t = sorvane.learn, self.state, float(self.n)
        out = []
        for _ in range(calls):
            self.decide()
            self.ids.append(self.n - 1)
            decision_id = f"{SALT}:{self.next_id()}"
            start = clock()
            learn(state, decision_id, 1.0, t)
            out.append(clock() - start)
        return out


def no_gc(fn):
    def wrapped(*args, **kwargs):
        enabled = gc.isenabled()
        gc.disable()
        try:
            return fn(*args, **kwargs)
        finally:
            if enabled:
                gc.enable()
    return wrapped


@no_gc
def bench_learn(pending, rounds, calls):
    out = []
    for order in ("newest", "oldest", "random"):
        small, large = Bandit(10, order), Bandit(pending, order)
        small_rounds, large_rounds = [], []
        for _ in range(rounds):
            small_rounds.append(statistics.median(small.learn_times(calls)))
            large_rounds.append(statistics.median(large.learn_times(calls)))
        large_us, small_us = statistics.median(large_rounds) / 1000, statistics.median(small_rounds) / 1000
        out.append(Figure(f"learn, {pending:,} pending, {order}", large_us, "us", "learn, 10 pending", small_us,
                          "<= 2x", large_us <= 2 * small_us))
    return out


@no_gc
def bench_steady(pending, calls):
    out = []
    for order in ("oldest", "random"):
        small, large = Bandit(10, order), Bandit(pending, order)
        base = statistics.fmean(small.learn_times(calls // 4)) / 1000
        times = sorted(large.learn_times(calls))
        mean = statistics.fmean(times) / 1000
        out.append(Figure(f"learn steady, {pending:,} pending, {order}, mean", mean, "us",
                          "learn, 10 pending, mean", base, "<= 2x", mean <= 2 * base))
        out.append(Figure("  the same, slowest call (a compaction)", times[-1] / 1000, "us"))
    return out


@no_gc
def bench_expire(pending, rounds):
    def per_call(bandit, calls):
        clock, expire, state = time.perf_counter_ns, sorvane.expire, bandit.state
        out = []
        for _ in range(calls):
            start = clock()
            expire(state, 0.0)
            out.append(clock() - start)
        return statistics.median(out)

    small, large = Bandit(10, "oldest"), Bandit(pending, "oldest")
    small_rounds, large_rounds = [], []
    for _ in range(rounds):
        small_rounds.append(per_call(small, 200))
        large_rounds.append(per_call(large, 20))
    large_us = statistics.median(large_rounds) / 1000
    return [Figure(f"expire, nothing due, {pending:,} pending", large_us, "us", "expire, 10 pending",
                   statistics.median(small_rounds) / 1000, "< 1000 us", large_us < 1000)]


@no_gc
def bench_cycle(rounds, calls):
    bandit = Bandit(10, "oldest")
    clock, learn, state = time.perf_counter_ns, sorvane.learn, bandit.state

    def decide_only():
        start = clock()
        records = [bandit.decide() for _ in range(calls)]
        elapsed = clock() - start
        for r in records:  # drain, untimed
            learn(state, r.decision_id, 1.0, 0.0)
        return elapsed / calls

    def decide_then_learn():
        start = clock()
        for _ in range(calls):
            learn(state, bandit.decide().decision_id, 1.0, 0.0)
        return (clock() - start) / calls

    alone, cycle = [], []
    for _ in range(rounds):
        alone.append(decide_only())
        cycle.append(decide_then_learn())
    return [Figure("cycle: decide then learn, M", statistics.median(cycle) / 1000, "us",
                   "decide alone, M", statistics.median(alone) / 1000)]


def figures(quick=False, pending=100_000, rounds=15, calls=2000, steady=0):
    if quick:
        pending, rounds, calls = 5_000, 3, 500
    return (bench_learn(pending, rounds, calls)
            + bench_steady(pending, steady or pending * 3 // 2)
            + bench_expire(pending, rounds)
            + bench_cycle(rounds, calls // 4))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pending", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds per measurement")
    parser.add_argument("--calls", type=int, default=2000, help="timed calls per round")
    parser.add_argument("--steady", type=int, default=0,
                        help="steady-state calls (default: 1.5x pending, enough for a compaction)")
    args = parser.parse_args()
    print_table(figures(pending=args.pending, rounds=args.rounds, calls=args.calls, steady=args.steady))


if __name__ == "__main__":
    main()
