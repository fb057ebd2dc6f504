"""Decisions, successful or failing, keep the process's memory flat."""
import gc

import pytest

import sorvane
from conftest import rss_kib, skip_when_sanitized

CONTEXT = {"user": "ann", "age": 31, "vip": True, "none": None}
CANDIDATES = [(f"item{i}", {"price": i * 1.5, "color": "red" if i % 2 else "blue"}) for i in range(4)]
RUNS = 100_000
WARM_UP = 10_000
# Far below what one leaked record, list or text per call would add.
GROWTH_KIB = 2_000


def flat(run):
    run(WARM_UP)
    gc.collect()
    before = rss_kib()
    run(RUNS)
    gc.collect()
    return rss_kib() - before


@skip_when_sanitized
def test_a_hundred_thousand_decisions_keep_memory_flat():
    s = sorvane.create(16, 1.0, epsilon=0.2)
    decide = sorvane.decide

    def run(n):
        for i in range(n):
            record = decide(s, CONTEXT, CANDIDATES, float(i), "s")
            record.features
            if i % 1000 == 999:
                # The ledger holds every open decision; resolve them all.
                sorvane.expire(s, 1e18)

    assert flat(run) < GROWTH_KIB


def sneaky(change):
    class Sneaky(int):
        def __float__(self):
            change(d)
            return 1.0

    d = {}
    d["n"] = Sneaky(1)
    return d


FAILURES = {
    "candidates a str": ({}, "ab", TypeError),
    "candidates not a sequence": ({}, {"a": {}}, TypeError),
    "element not a tuple": ({}, [("a", {}), ["b", {}]], TypeError),
    "tuple of another length": ({}, [("a", {}, 3)], ValueError),
    "identifier not a str": ({}, [(1, {})], TypeError),
    "features not a dict": ({}, [("a", [1])], TypeError),
    "name not a str": ({1: 2}, CANDIDATES, ValueError),
    "value of another type": (CONTEXT, [("a", {"k": 1, "y": [1]})], ValueError),
    "text not UTF-8": ({"t": "\ud800"}, CANDIDATES, UnicodeEncodeError),
    "identifier not UTF-8": ({}, [("\ud800", {})], UnicodeEncodeError),
    "int too large": ({"n": 10**400}, CANDIDATES, OverflowError),
    "no candidates": (CONTEXT, [], ValueError),
    # The key added while the dict is read is taken out again after each call.
    "dict changed": (sneaky(lambda d: d.__setitem__("x", 1)), CANDIDATES, BaseException),
}


@skip_when_sanitized
@pytest.mark.parametrize("kind", list(FAILURES))
def test_a_hundred_thousand_failing_decisions_keep_memory_flat(kind):
    s = sorvane.create(16, 1.0)
    context, candidates, error = FAILURES[kind]
    decide = sorvane.decide

    def run(n):
        for _ in range(n):
            try:
                decide(s, context, candidates, 0.0, "s")
            except error:
                pass
            else:
                raise AssertionError("the decision did not fail")
            context.pop("x", None)

    assert flat(run) < GROWTH_KIB
    assert sorvane.decide(s, {}, [("a", {})], 0.0, "s").decision_id == "s:0"
