"""The host's callables in place of the built-in steps: what `score`,
`explore` and `train` receive, how their results are read, and how their
exceptions reach the caller unchanged, without leaks."""
import gc
import math
import sys
import traceback

import pytest

import sorvane
from conftest import rss_kib, skip_when_sanitized
from state_view import view

CONTEXT = {"user": "u1", "age": 31.0}
CANDIDATES = [("a", {"x": 1.0}), ("b", {"x": 2.0, "k": "p"}), ("c", {"k": "q"})]

SCORE_MESSAGE = "score must return one finite estimate per candidate"
EXPLORE_MESSAGE = "explore must return one probability per candidate"
PROBABILITY_MESSAGE = "explore probabilities must be finite, nonnegative, and sum to 1"


def fresh(**kw):
    kw.setdefault("horizon", 10.0)
    return sorvane.create(8, **kw)


def decide(s, t=0.0, **taps):
    return sorvane.decide(s, CONTEXT, CANDIDATES, t, "salt", **taps)


class Boom(Exception):
    pass


def raiser(exc):
    def fn(*args):
        raise exc
    return fn


# ---- score and explore ----------------------------------------------------------


def test_score_may_return_a_tuple_of_ints():
    s = fresh(epsilon=0.0)
    assert decide(s, score=lambda c, k: (1, 0, 2)).chosen == 2


class Junk:
    """A sequence whose items cannot become floats."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError
        return object()


class HugeLength:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError
        return 1.0


class BadFloat:
    def __float__(self):
        raise Boom("not this one")


SCORE_JUNK = [
    "102", "", None, 5, {0: 1.0, 1: 2.0, 2: 3.0}, (x for x in (1.0, 2.0, 3.0)), iter([1.0, 2.0, 3.0]),
    [1.0, "2", 3.0], [1.0, None, 3.0], [1.0, BadFloat(), 3.0], Junk(), [1.0, 2.0], [1.0, 2.0, 3.0, 4.0],
    [], [1.0, math.nan, 3.0], [math.inf, 0.0, 0.0], [1.0, 2.0, 10**400],
]


@pytest.mark.parametrize("junk", SCORE_JUNK, ids=repr)
def test_score_returning_anything_but_one_finite_number_per_candidate_fails_cleanly(junk):
    s = fresh()
    before = sorvane.serialize(s)
    with pytest.raises(ValueError) as info:
        decide(s, score=lambda c, k: junk)
    assert info.value.args == (SCORE_MESSAGE,)
    assert info.value.__context__ is None
    assert sorvane.serialize(s) == before


def test_score_with_an_unbounded_length_hint_is_read_by_iteration():
    s = fresh(epsilon=0.0)
    assert decide(s, score=lambda c, k: HugeLength()).chosen == 0


@pytest.mark.parametrize(
    "junk, message",
    [("0.5", EXPLORE_MESSAGE), (None, EXPLORE_MESSAGE), ([0.5, "x", 0.5], EXPLORE_MESSAGE), ({}, EXPLORE_MESSAGE),
     ([1.0], EXPLORE_MESSAGE), ([0.5, 0.5], EXPLORE_MESSAGE), ([0.2, 0.2, 0.2], PROBABILITY_MESSAGE),
     ([-0.5, 1.0, 0.5], PROBABILITY_MESSAGE), ([math.nan, 0.5, 0.5], PROBABILITY_MESSAGE),
     ([math.inf, 0.0, 0.0], PROBABILITY_MESSAGE)],
    ids=repr,
)
def test_explore_results_are_checked_with_their_own_messages(junk, message):
    s = fresh()
    before = sorvane.serialize(s)
    with pytest.raises(ValueError) as info:
        decide(s, explore=lambda e, eps: junk)
    assert info.value.args == (message,)
    assert sorvane.serialize(s) == before


def test_explore_one_probability_short_of_two_candidates():
    s = fresh()
    with pytest.raises(ValueError, match="^explore must return one probability per candidate$"):
        sorvane.decide(s, {}, CANDIDATES[:2], 0.0, "x", explore=lambda e, eps: [1.0])
    with pytest.raises(ValueError, match="^explore probabilities must be finite, nonnegative, and sum to 1$"):
        sorvane.decide(s, {}, CANDIDATES[:2], 0.0, "x", explore=lambda e, eps: [0.2, 0.2])


def test_score_sees_the_callers_own_objects_and_its_mutations_reach_the_record():
    context, candidates = dict(CONTEXT), list(CANDIDATES)
    seen = []

    def score(c, k):
        seen.append((c, k))
        c["added"] = True
        k.append("tail")
        return [0.0, 0.0, 0.0]

    r = sorvane.decide(fresh(), context, candidates, 0.0, "x", score=score)
    (c, k), = seen
    assert c is context and k is candidates
    assert r.context is context and r.candidates is candidates
    assert context["added"] is True and candidates[-1] == "tail"


def test_explore_gets_the_estimates_as_floats_and_epsilon_and_its_list_is_its_own():
    seen = []

    def explore(estimates, epsilon):
        seen.append((list(estimates), type(estimates), [type(e) for e in estimates], epsilon, type(epsilon)))
        estimates.append(99.0)
        return [0.0, 1.0, 0.0]

    s = fresh(epsilon=0.25)
    r = decide(s, score=lambda c, k: (3, True, 2.5), explore=explore)
    assert seen == [([3.0, 1.0, 2.5], list, [float] * 3, 0.25, float)]
    assert (r.chosen, r.propensity) == (1, 1.0)


def test_explore_gets_the_models_estimates_without_score():
    seen = []
    s = fresh()
    decide(s, explore=lambda e, eps: seen.append(e) or [1.0, 0.0, 0.0])
    assert seen == [[0.0, 0.0, 0.0]]


@pytest.mark.parametrize("where", ["score", "explore"])
def test_a_failing_score_or_explore_raises_its_own_exception_and_changes_nothing(where):
    s = fresh()
    expected_id = decide(fresh()).decision_id
    error = KeyError("missing feature")
    calls = []
    taps = {"score": raiser(error)} if where == "score" else {"explore": raiser(error)}
    taps.setdefault("explore", lambda e, eps: calls.append(e) or [1.0, 0.0, 0.0])
    before = sorvane.serialize(s)
    with pytest.raises(KeyError) as info:
        decide(s, **taps)
    assert info.value is error
    assert "fn" in [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert calls == []
    assert sorvane.serialize(s) == before
    assert decide(s).decision_id == expected_id


@pytest.mark.parametrize("tap", ["score", "explore"])
def test_a_non_callable_score_or_explore_fails_with_the_interpreters_type_error(tap):
    s = fresh()
    before = sorvane.serialize(s)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        decide(s, **{tap: 5})
    assert sorvane.serialize(s) == before


# ---- train --------------------------------------------------------------------


@pytest.mark.parametrize("returned", [None, 5, "ignored", object()], ids=repr)
def test_train_in_learn_gets_the_compact_record_and_the_classified_reward(returned):
    s = fresh(default_reward=-1.0)
    early, late = decide(s, t=0.0), decide(s, t=0.0)
    calls = []

    def train(record, reward):
        calls.append((record, reward))
        return returned

    model = view(sorvane.serialize(s)).model_bytes()
    res = sorvane.learn(s, early.decision_id, 0.5, 9.0, train)
    assert (res.decision_id, res.reward, res.kind) == (early.decision_id, 0.5, "rewarded")
    res = sorvane.learn(s, late.decision_id, 0.5, 10.0, train)
    assert (res.reward, res.kind) == (-1.0, "expired")
    assert [reward for _, reward in calls] == [0.5, -1.0]
    for (record, _), decided in zip(calls, (early, late)):
        assert type(record) is sorvane.DecisionRecord
        assert (record.bits, record.context, record.candidates) == (None, None, None)
        for field in ("decision_id", "t", "candidate_hash", "chosen", "features", "propensity",
                      "model_version", "salt"):
            assert getattr(record, field) == getattr(decided, field)
    after = view(sorvane.serialize(s))
    assert after.model_bytes() == model and after.model_version == 2


def test_train_in_expire_runs_per_due_record_in_ledger_order():
    s = fresh(default_reward=0.25)
    ids = [decide(s, t=t).decision_id for t in (0.0, 50.0, 1.0, 2.0)]
    calls = []
    model = view(sorvane.serialize(s)).model_bytes()
    out = sorvane.expire(s, 12.0, lambda r, reward: calls.append((r.decision_id, reward)))
    assert calls == [(ids[0], 0.25), (ids[2], 0.25), (ids[3], 0.25)]
    assert [r.decision_id for r in out] == [ids[0], ids[2], ids[3]]
    after = view(sorvane.serialize(s))
    assert after.pending_ids == [ids[1]] and after.model_bytes() == model and after.model_version == 3


def test_train_failing_on_the_second_of_three_due_records():
    s = fresh(default_reward=0.25)
    ids = [decide(s, t=float(t)).decision_id for t in range(3)]
    error = Boom("second")
    calls = []

    def train(record, reward):
        calls.append(record.decision_id)
        if len(calls) == 2:
            raise error

    with pytest.raises(Boom) as info:
        sorvane.expire(s, 100.0, train)
    assert info.value is error
    assert calls == ids[:2]
    v = view(sorvane.serialize(s))
    assert v.pending_ids == ids[2:] and v.model_version == 2
    assert [r.decision_id for r in sorvane.expire(s, 100.0)] == ids[2:]


def test_train_failing_in_learn_leaves_the_record_resolved_and_the_model_untouched():
    s = fresh()
    r = decide(s)
    model = view(sorvane.serialize(s)).model_bytes()
    error = Boom("train")
    with pytest.raises(Boom) as info:
        sorvane.learn(s, r.decision_id, 1.0, 0.0, raiser(error))
    assert info.value is error
    assert "fn" in [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert sorvane.learn(s, r.decision_id, 1.0, 0.0) is None
    v = view(sorvane.serialize(s))
    assert v.model_bytes() == model and v.model_version == 1 and v.pending == []


def test_train_is_not_called_for_an_id_that_is_not_pending():
    s = fresh()
    calls = []
    assert sorvane.learn(s, "salt:0", 1.0, 0.0, lambda *a: calls.append(a)) is None
    assert sorvane.expire(s, 1e9, lambda *a: calls.append(a)) == ()
    assert calls == []


@pytest.mark.parametrize("call", ["learn", "expire"])
def test_a_non_callable_train_fails_after_the_record_left_the_ledger(call):
    s = fresh()
    r = decide(s)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        if call == "learn":
            sorvane.learn(s, r.decision_id, 1.0, 0.0, 5)
        else:
            sorvane.expire(s, 100.0, 5)
    assert sorvane.learn(s, r.decision_id, 1.0, 0.0) is None
    assert view(sorvane.serialize(s)).model_version == 1


def test_other_states_work_fully_inside_a_callback():
    s, other = fresh(), fresh()
    inner = []

    def train(record, reward):
        r = decide(other, score=lambda c, k: [0.0, 1.0, 0.0], explore=lambda e, eps: [0.0, 1.0, 0.0])
        inner.append(sorvane.learn(other, r.decision_id, reward, 0.0, train=lambda *a: None))
        inner.append(sorvane.expire(other, 1e9, train=lambda *a: None))
        inner.append(sorvane.model_bits(other))
        inner.append(sorvane.deserialize(sorvane.serialize(other)))

    sorvane.learn(s, decide(s).decision_id, 2.0, 0.0, train)
    assert inner[0].reward == 2.0 and inner[1] == () and inner[2] == 8
    assert view(sorvane.serialize(other)).model_version == 1


# ---- references and memory ------------------------------------------------------


def test_callables_exceptions_and_inputs_keep_their_reference_counts():
    s = fresh()
    error = Boom("again")
    context, candidates = dict(CONTEXT), list(CANDIDATES)
    score_raises, explore_junk, train_raises = raiser(error), (lambda e, eps: "junk"), raiser(error)
    objects = [error, context, candidates, score_raises, explore_junk, train_raises]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(200):
        with pytest.raises(Boom):
            sorvane.decide(s, context, candidates, 0.0, "x", score=score_raises)
        error.__traceback__ = None
        with pytest.raises(ValueError):
            sorvane.decide(s, context, candidates, 0.0, "x", explore=explore_junk)
        r = sorvane.decide(s, context, candidates, 0.0, "x")
        with pytest.raises(Boom):
            sorvane.learn(s, r.decision_id, 1.0, 0.0, train_raises)
        error.__traceback__ = None
        del r
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before


@skip_when_sanitized
def test_a_hundred_thousand_failing_callback_calls_keep_memory_flat():
    s = fresh()

    def score_raises(c, k):
        raise Boom("fresh each time")

    def train_raises(record, reward):
        raise KeyError(record.decision_id)

    calls = [
        lambda: decide(s, score=score_raises),
        lambda: decide(s, score=lambda c, k: "junk"),
        lambda: decide(s, explore=lambda e, eps: [0.2, 0.2, 0.2]),
        lambda: decide(s, explore=5),
        lambda: sorvane.learn(s, decide(s).decision_id, 1.0, 0.0, train_raises),
        lambda: (decide(s), sorvane.expire(s, 1e9, 7)),
        lambda: sorvane.learn(s, decide(s).decision_id, 1.0, 0.0, lambda r, w: object()),
    ]

    def run(n):
        for i in range(n):
            try:
                calls[i % len(calls)]()
            except (Boom, KeyError, ValueError, TypeError):
                pass

    run(10_000)
    gc.collect()
    before = rss_kib()
    run(100_000)
    gc.collect()
    assert rss_kib() - before < 2_000
    assert view(sorvane.serialize(s)).pending == []
