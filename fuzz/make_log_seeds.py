"""Writes the seed corpus for fuzz_log: small experience logs.

Each seed is one mode byte (see fuzz_log.cpp) and a log written by the
module (PYTHONPATH must reach a build of it): plain decisions and their
resolutions, NaN and infinite values, text with escapes and non-ASCII
characters, duplicate keys, a log reformatted with spaces, and texts of a
NUL and one letter.

    PYTHONPATH=build/<dir> python3 fuzz/make_log_seeds.py fuzz/corpus-log
"""
import json
import math
import os
import sys

import sorvane


def log(bits, decisions, context, candidates, rewards):
    state = sorvane.create(bits, 1000.0, 0.0, 0.1)
    lines = []
    for i in range(decisions):
        record = sorvane.decide(state, context(i), candidates(i), float(i), "fz")
        lines.append(sorvane.log_line(record))
        reward = rewards(i)
        if reward is not None:
            lines.append(sorvane.log_line(sorvane.learn(state, record.decision_id, reward,
                                                        i + 1.0 if i % 3 else 5000.0 + i)))
    return "\n".join(lines) + "\n"


def seeds():
    yield log(4, 3, lambda i: {"a": i, "b": "x"}, lambda i: [("p", {"q": 1.5}), ("r", {})], lambda i: 1.0)
    yield log(6, 4, lambda i: {"n": math.nan if i % 2 else math.inf, "t": True, "z": None},
              lambda i: [("é", {"v": -math.inf}), ("\"q\\", {"w": 10**20})], lambda i: math.nan if i else 0.0)
    yield log(8, 2, lambda i: {"k\u2603": "v\U0001f600", "big": 2**64 - 1}, lambda i: [("a", {"x": -0.0})],
              lambda i: None if i else -0.0)
    text = log(5, 3, lambda i: {"c": i * 0.1}, lambda i: [("a", {"f": "t"}), ("b", {"f": "u"})], lambda i: 2.0)
    yield "\n".join(json.dumps(json.loads(line), indent=None) for line in text.splitlines()) + "\n"
    yield text.replace('{"c":', '{"c":"dup","c":', 1)
    yield text.rstrip("\n")
    # Texts of a NUL and one letter, which the native reader's marks for the
    # special numbers look like.
    yield log(4, 3, lambda i: {"m": "\x00N", "\x00I": "\x00-", "n": math.nan if i == 1 else 1.0},
              lambda i: [("\x00N", {"f": "\x00I"}), ("b", {})], lambda i: 1.0)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for k, text in enumerate(seeds()):
        for mode in (0, 7, 40):
            with open(os.path.join(folder, f"seed-{k}-{mode}"), "wb") as f:
                f.write(bytes([mode]) + text.encode())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus-log")
