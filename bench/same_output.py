"""Checks that builds of the module write byte-identical `serialize` and
`log_line` output on the benchmark workloads, in one process.

Each build replays the same calls: the fixed S, M and L decisions, a few
thousand varied M decisions with rewards for some and expiry for the rest,
and a state loaded back from its own text. Every log line and every
serialized state is fed into one digest per build; the first text that
differs is shown.

    python3 bench/same_output.py OLD_BUILD_DIR NEW_BUILD_DIR [...]
"""
import argparse
import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _workloads import WORKLOADS, workload  # noqa: E402
from ab_builds import load, parsed  # noqa: E402
from bench_decide import varied_lines  # noqa: E402


def outputs(module):
    """Every text the calls below produce, in order."""
    for name, (bits, n_context, n_candidates, n_features) in WORKLOADS.items():
        state = module.create(bits, 1.0, epsilon=0.1)
        context, candidates = workload(n_context, n_candidates, n_features)
        for k in range(50):
            record = module.decide(state, context, candidates, float(k), name)
            yield module.log_line(record)
            if k % 2:
                yield module.log_line(module.learn(state, record.decision_id, k / 7.0, float(k)))
        for resolution in module.expire(state, 1e9):
            yield module.log_line(resolution)
        yield module.serialize(state)

    state = module.create(18, 50.0, default_reward=-0.25, epsilon=0.1, forgetfulness=0.99)
    pending = []
    for k, (context, candidates) in enumerate(parsed(varied_lines("M", 3000))):
        record = module.decide(state, context, candidates, float(k), "varied")
        yield module.log_line(record)
        pending.append(record.decision_id)
        if k % 3 == 0:
            resolution = module.learn(state, pending.pop(k % len(pending)), (k % 5) / 4.0, float(k))
            if resolution is not None:  # None once expiry took it
                yield module.log_line(resolution)
        if k % 500 == 499:
            for resolution in module.expire(state, float(k)):
                yield module.log_line(resolution)
            text = module.serialize(state)
            yield text
            yield module.serialize(module.deserialize(text.upper()))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+", help="directories holding a built module")
    args = parser.parse_args()
    digests, firsts = [], []
    reference = None
    for directory in args.builds:
        digest, count, first = hashlib.sha256(), 0, None
        texts = list(outputs(load(directory)))
        for k, text in enumerate(texts):
            digest.update(text.encode() + b"\n")
            count += len(text)
            if reference is not None and first is None and (k >= len(reference) or reference[k] != text):
                first = k
        if reference is None:
            reference = texts
        digests.append(digest.hexdigest())
        firsts.append(first)
        print(f"{directory:40} {len(texts):6} texts {count:12} characters  sha256 {digest.hexdigest()[:16]}")
    same = len(set(digests)) == 1
    for directory, first in zip(args.builds, firsts):
        if first is not None:
            print(f"{directory}: text {first} differs")
    print("identical" if same else "DIFFERENT")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
