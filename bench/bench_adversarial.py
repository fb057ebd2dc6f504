"""Inputs a host can pick to make the engine slow, across builds of the
module in one process, as ratios to the same work on ordinary inputs.

- Ids crafted to collide in the ledger's index: 131,072 decisions whose
  salts `colliding_ids.cpp` picked so that every id lands in one run of
  buckets of an index probing on the low bits of libstdc++'s std::hash,
  against as many random salts of the same length. Timed: the decides,
  deserialize of the state's text, learn of every id on the loaded state,
  and expire of every record of the first. Target: crafted within 2x of
  random, per operation.
- The first decide of a thread over 50,000 candidates, against the second
  on the same thread, with the state's caches already warm (so the first
  differs only in the thread's own buffers), and on a new state. Target:
  the first within 2x of the second (on a warm state).

    python3 bench/bench_adversarial.py [LABEL=]BUILD_DIR [...] [--records N] [--candidates N]

A build directory holds a built sorvane*.so (`cmake --build` of a checkout);
the crafted salts are made by compiling bench/colliding_ids.cpp with g++.
Figures are by wall clock, the median of --repeat runs (default 1: the old
build's crafted runs take a minute).
"""
import argparse
import gc
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _report import Figure, print_table  # noqa: E402
from ab_builds import load  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def crafted_salts(count, bits, window):
    """Salts whose ids pile up under the unkeyed index (colliding_ids.cpp)."""
    with tempfile.TemporaryDirectory() as folder:
        binary = os.path.join(folder, "colliding_ids")
        subprocess.run(["g++", "-std=c++20", "-O2", os.path.join(HERE, "colliding_ids.cpp"), "-o", binary],
                       check=True)
        out = subprocess.run([binary, str(count), str(bits), str(window)], check=True, capture_output=True,
                             text=True).stdout
    return out.split()


def random_salts(like, seed=5):
    rng = random.Random(seed)
    return ["h" + "".join(rng.choice("0123456789") for _ in range(len(s) - 1)) for s in like]


def index_bits(records):
    """The low bits the old index probed on once it held `records` ids."""
    size = 16
    for live in range(records):
        while 2 * (live + 1) > size:
            size *= 2
    return size.bit_length() - 1


def ledger_seconds(module, salts):
    """Seconds for each operation over the salts' decisions."""
    gc.collect()
    gc.disable()
    try:
        return _ledger_seconds(module, salts)
    finally:
        gc.enable()


def _ledger_seconds(module, salts):
    state = module.create(8, 10.0)
    candidates = [("a", {})]
    decide = module.decide
    start = time.perf_counter()
    ids = [decide(state, {}, candidates, 0.0, salt).decision_id for salt in salts]
    took = {"decide": time.perf_counter() - start}
    text = module.serialize(state)
    start = time.perf_counter()
    loaded = module.deserialize(text)
    took["deserialize"] = time.perf_counter() - start
    learn = module.learn
    start = time.perf_counter()
    for decision_id in ids:
        learn(loaded, decision_id, 1.0, 0.0)
    took["learn"] = time.perf_counter() - start
    start = time.perf_counter()
    expired = module.expire(state, 100.0)
    took["expire"] = time.perf_counter() - start
    assert len(expired) == len(ids)
    return took


def first_and_second(module, count, new_state):
    """Seconds of the first and the second decide on a new thread."""
    state = module.create(12, 10.0)
    candidates = [(f"c{k}", {"price": float(k), "tag": "x"}) for k in range(count)]
    if not new_state:
        module.decide(state, {"user": "u"}, candidates, 0.0, "warm")  # the state's caches, on this thread
    took = []

    def run():
        for _ in range(2):
            start = time.perf_counter()
            module.decide(state, {"user": "u"}, candidates, 0.0, "s")
            took.append(time.perf_counter() - start)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    return took


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--records", type=int, default=131_072)
    parser.add_argument("--candidates", type=int, default=50_000)
    parser.add_argument("--window", type=int, default=256, help="the run of buckets the crafted ids share")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    modules = []
    for build in args.builds:
        label, _, directory = build.rpartition("=")
        modules.append((label or directory, load(directory)))

    bits = index_bits(args.records)
    crafted = crafted_salts(args.records, bits, args.window)
    plain = random_salts(crafted)
    figures = []
    for name, module in modules:
        runs = {"crafted": [], "random": []}
        for _ in range(args.repeat):
            for kind, salts in (("random", plain), ("crafted", crafted)):
                runs[kind].append(ledger_seconds(module, salts))
        for op in ("decide", "deserialize", "learn", "expire"):
            crafted_s = statistics.median(r[op] for r in runs["crafted"])
            random_s = statistics.median(r[op] for r in runs["random"])
            figures.append(Figure(f"{name}: {op}, {args.records:,} crafted ids", crafted_s, "s",
                                  "random ids", random_s, "at most 2x", crafted_s <= 2 * random_s))
    print_table(figures, f"ids crafted to collide in {bits} low bits of std::hash (window {args.window})")

    figures = []
    for name, module in modules:
        for new_state, label in ((False, "warm state"), (True, "new state")):
            pairs = [first_and_second(module, args.candidates, new_state) for _ in range(max(args.repeat, 3))]
            first = statistics.median(p[0] for p in pairs)
            second = statistics.median(p[1] for p in pairs)
            target = "at most 2x" if not new_state else ""
            figures.append(Figure(f"{name}: first decide, {label}", first, "s", "second decide", second, target,
                                  first <= 2 * second if not new_state else None))
    print()
    print_table(figures, f"the first decide of a thread over {args.candidates:,} candidates")


if __name__ == "__main__":
    main()
