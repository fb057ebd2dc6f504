"""Outcomes: learn and expire against the pending ledger, the horizon rule,
and the model arithmetic they drive, read back bit for bit from snapshots."""
import collections
import math
import random
import time

import pytest
from hypothesis import given, settings, strategies as st

import sorvane
from conftest import SANITIZED
from snapshots import Record, Snapshot
from state_view import reference_update, view

CANDIDATES = [("a", {"x": 1.0, "k": "p"}), ("b", {"x": 2.0, "k": "q"})]


def loaded(records, **fields):
    """A state holding exactly these pending records (dim 8 unless told)."""
    fields.setdefault("dim", 8)
    fields.setdefault("forgetting", 1.0)
    return sorvane.deserialize(Snapshot(records=records, **fields).text())


def rec(name, t=0.0, features=((3, 1.0),), version=0):
    return Record(decision_id=name, t=t, features=list(features), model_version=version)


def decide(state, t=0.0, salt="s"):
    return sorvane.decide(state, {"u": "v"}, CANDIDATES, t, salt)


# ---- learn ------------------------------------------------------------------


@pytest.mark.parametrize("decision_id", ["s:7", "", "s:0 ", "S:0", "s:00"])
def test_learn_of_an_id_never_issued_returns_none_and_changes_nothing(decision_id):
    s = loaded([rec("s:0")])
    before = sorvane.serialize(s)
    assert sorvane.learn(s, decision_id, 1.0, 0.0) is None
    assert sorvane.serialize(s) == before


def test_learning_twice_resolves_once():
    s = sorvane.create(8, 10.0)
    r = decide(s)
    first = sorvane.learn(s, r.decision_id, 0.25, 1.0)
    assert (first.decision_id, first.reward, first.kind) == (r.decision_id, 0.25, "rewarded")
    after_first = sorvane.serialize(s)
    assert sorvane.learn(s, r.decision_id, 0.25, 1.0) is None
    assert sorvane.serialize(s) == after_first
    assert view(after_first).model_version == 1


def test_learn_exactly_at_the_horizon_is_expired_and_one_step_before_is_rewarded():
    due = 0.1 + 0.2  # the f64 sum of the record's t and the horizon: 0.30000000000000004
    for t, kind, reward in [(due, "expired", -3.0), (math.nextafter(due, -math.inf), "rewarded", 7.0),
                            (math.inf, "expired", -3.0)]:
        s = loaded([rec("s:0", t=0.1)], horizon=0.2, default_reward=-3.0)
        res = sorvane.learn(s, "s:0", 7.0, t)
        assert (res.kind, res.reward) == (kind, reward)


@pytest.mark.parametrize("record_t, t", [(0.0, math.nan), (math.nan, 1e300), (math.nan, math.inf), (math.inf, math.nan)])
def test_a_nan_comparison_never_makes_a_record_due(record_t, t):
    s = loaded([rec("s:0", t=record_t)], horizon=1.0, default_reward=-3.0)
    assert sorvane.expire(s, t) == ()
    res = sorvane.learn(s, "s:0", 7.0, t)
    assert (res.kind, res.reward) == ("rewarded", 7.0)


def test_a_nan_reward_passes_through_to_resolution_and_model():
    s = loaded([rec("s:0")])
    res = sorvane.learn(s, "s:0", math.nan, 0.0)
    assert math.isnan(res.reward)
    v = view(sorvane.serialize(s))
    assert v.sq_sums[3] == 1.0 and math.isnan(v.reward_sums[3])


def test_learn_before_and_after_the_horizon_through_decide():
    s = sorvane.create(8, 5.0, default_reward=-1.0)
    early, late = decide(s, t=10.0), decide(s, t=10.0)
    res = sorvane.learn(s, early.decision_id, 0.5, 14.999)
    assert (res.kind, res.reward) == ("rewarded", 0.5)
    res = sorvane.learn(s, late.decision_id, 0.5, 15.0)
    assert (res.kind, res.reward) == ("expired", -1.0)


def test_a_record_keeps_the_model_version_it_was_decided_under():
    s = sorvane.create(8, 10.0)
    a, b = decide(s), decide(s)
    sorvane.learn(s, b.decision_id, 1.0, 0.0)
    c = decide(s)
    assert (a.model_version, c.model_version) == (0, 1)
    v = view(sorvane.serialize(s))
    assert [(p.decision_id, p.model_version) for p in v.pending] == [(a.decision_id, 0), (c.decision_id, 1)]
    assert v.model_version == 1


def test_learn_resolves_the_first_pending_record_with_a_repeated_id():
    # Only a loaded snapshot can repeat an id; the t values tell the records apart.
    s = loaded([rec("x", t=1.0), rec("y", t=2.0), rec("x", t=3.0), rec("x", t=4.0)], horizon=10.0)
    assert sorvane.learn(s, "x", 1.0, 12.5).kind == "expired"  # t=1.0 record: due at 11
    assert [p.t for p in view(sorvane.serialize(s)).pending] == [2.0, 3.0, 4.0]
    assert sorvane.learn(s, "x", 1.0, 13.5).kind == "expired"  # t=3.0: due at 13
    assert sorvane.learn(s, "x", 1.0, 13.5).kind == "rewarded"  # t=4.0: due at 14
    assert sorvane.learn(s, "x", 1.0, 13.5) is None
    assert view(sorvane.serialize(s)).pending_ids == ["y"]


def test_a_repeated_id_costs_no_more_than_distinct_ids():
    # A loaded snapshot may hold one id many times: loading it, learning it
    # and expiring it must stay linear, like distinct ids. Each side's best
    # of three runs, taken in turns, so the machine's swings hit both alike.
    n = 20_000

    def snapshot(names):
        records = [Record(name, t=float(i), features=[(1, 1.0)], salt="") for i, name in enumerate(names)]
        return Snapshot(dim=2, horizon=1.0, records=records).text()

    texts = {"repeated": snapshot(["d:000000"] * n), "distinct": snapshot([f"d:{i:06d}" for i in range(n)])}
    best = {}
    for _ in range(3):
        for kind, text in texts.items():
            start = time.perf_counter()
            s = sorvane.deserialize(text)
            for _ in range(100):
                assert sorvane.learn(s, "d:000000", 1.0, 0.0) is not None or kind == "distinct"
            assert len(sorvane.expire(s, 1e9)) == n - (100 if kind == "repeated" else 1)
            best[kind] = min(best.get(kind, math.inf), time.perf_counter() - start)
    assert best["repeated"] < 3 * best["distinct"], best


# ---- expire -----------------------------------------------------------------


def test_expire_with_nothing_due_returns_an_empty_tuple_and_changes_nothing():
    s = loaded([rec("a", t=5.0), rec("b", t=6.0)], horizon=10.0)
    before = sorvane.serialize(s)
    assert sorvane.expire(s, 14.999) == ()
    assert sorvane.expire(sorvane.create(4, 1.0), 1e308) == ()
    assert sorvane.serialize(s) == before


def test_expire_resolves_due_records_in_ledger_order_and_keeps_the_rest():
    s = loaded([rec("A", t=0.0), rec("B", t=100.0), rec("C", t=0.0), rec("D", t=0.0)],
               horizon=10.0, default_reward=-2.0, model_version=7)
    out = sorvane.expire(s, 50.0)
    assert type(out) is tuple
    assert [(r.decision_id, r.reward, r.kind) for r in out] == [
        ("A", -2.0, "expired"), ("C", -2.0, "expired"), ("D", -2.0, "expired")]
    v = view(sorvane.serialize(s))
    assert v.pending_ids == ["B"] and v.model_version == 10


def test_expire_trains_in_ledger_order_with_the_default_reward():
    records = [rec(f"r{i}", t=float(i % 3), features=[(i % 4, 0.5 + i), (4 + i % 3, -1.0)]) for i in range(9)]
    s = loaded(records, horizon=1.0, default_reward=0.75, forgetting=0.9)
    expected = view(sorvane.serialize(s))
    for r in records:
        if r.t + 1.0 <= 1.5:
            reference_update(expected, r.features, 0.75)
    sorvane.expire(s, 1.5)
    assert view(sorvane.serialize(s)).model_bytes() == expected.model_bytes()


def test_train_none_is_the_same_as_no_train():
    def fresh():
        return loaded([rec("a", t=0.0), rec("b", t=0.0, features=[(1, 2.0)]), rec("c", t=50.0)],
                      horizon=10.0, forgetting=0.5)

    results = []
    for extra in ({}, {"train": None}):
        s = fresh()
        learned = sorvane.learn(s, "a", 3.0, 1.0, **extra)
        expired = sorvane.expire(s, 20.0, **extra)
        results.append(((learned.decision_id, learned.reward, learned.kind),
                        [(r.decision_id, r.reward, r.kind) for r in expired], sorvane.serialize(s)))
    assert results[0] == results[1]


# ---- model arithmetic -------------------------------------------------------


@pytest.mark.parametrize("forgetting, scale, stored", [(1.0, 1.0, 1.0), (0.5, 0.5, 2.0)])
def test_one_update_stores_the_squared_and_reward_sums_over_forgetting_times_scale(forgetting, scale, stored):
    s = loaded([rec("s:0", features=[(3, 1.0)])], forgetting=forgetting)
    sorvane.learn(s, "s:0", 1.0, 0.0)
    v = view(sorvane.serialize(s))
    assert v.scale == scale
    assert v.sq_sums == [0.0] * 3 + [stored] + [0.0] * 4
    assert v.reward_sums == [0.0] * 3 + [stored] + [0.0] * 4


def test_the_512th_update_at_forgetting_half_renormalises():
    # Record 0 alone touches coordinate 5; every record touches coordinate 3.
    records = [rec("s:0", features=[(3, 1.0), (5, 3.0)])] + [rec(f"s:{i}") for i in range(1, 512)]
    s = loaded(records, forgetting=0.5)
    expected = view(sorvane.serialize(s))
    for i, r in enumerate(records):
        reward = -0.5 if i % 2 else 1.25
        sorvane.learn(s, r.decision_id, reward, 0.0)
        reference_update(expected, r.features, reward)
        if i == 510:
            before = view(sorvane.serialize(s))
            assert before.scale == 2.0**-511
            assert before.model_bytes() == expected.model_bytes()
    after = view(sorvane.serialize(s))
    assert after.scale == 1.0
    # Untouched by the last update: exactly the stored value times 2**-512.
    assert after.sq_sums[5] == before.sq_sums[5] * 2.0**-512
    assert after.reward_sums[5] == before.reward_sums[5] * 2.0**-512
    assert after.model_bytes() == expected.model_bytes()
    assert after.model_version == 512


def test_a_negative_reward_makes_reward_sums_negative_and_never_lowers_sq_sums():
    s = loaded([rec("a", features=[(2, 1.5)]), rec("b", features=[(2, -2.0)])], forgetting=0.9)
    sorvane.learn(s, "a", -1.0, 0.0)
    first = view(sorvane.serialize(s))
    sorvane.learn(s, "b", 4.0, 0.0)
    second = view(sorvane.serialize(s))
    assert first.reward_sums[2] < 0.0 and second.reward_sums[2] < first.reward_sums[2]
    assert second.sq_sums[2] > first.sq_sums[2] > 0.0


features_st = st.dictionaries(
    st.integers(0, 7), st.floats(-1e6, 1e6, allow_nan=False).filter(lambda v: v != 0.0), max_size=4
).map(lambda d: sorted(d.items()))
ops_st = st.lists(
    st.one_of(
        st.tuples(st.just("learn"), st.integers(0, 11), st.floats(-10, 10), st.floats(0, 30)),
        st.tuples(st.just("learn"), st.integers(0, 11), st.floats(-10, 10), st.just(math.nan)),
        st.tuples(st.just("expire"), st.floats(0, 30)),
        st.tuples(st.just("decide"), st.floats(0, 20)),
        st.tuples(st.just("reload")),
    ),
    max_size=40,
)


@settings(max_examples=200 if not SANITIZED else 40, deadline=None)
@given(
    st.lists(st.tuples(st.integers(0, 5), st.floats(0, 20), features_st), max_size=12),
    st.sampled_from([1.0, 0.5, 0.9, 0.999, 2.0**-100]),
    st.floats(-5, 5),
    ops_st,
)
def test_learn_and_expire_match_a_list_scanned_from_the_front(initial, forgetting, default, ops):
    # Ids repeat (drawn from six names), so "first in ledger order" matters.
    records = [rec(f"id{k}", t=t, features=f) for k, t, f in initial]
    s = loaded(records, forgetting=forgetting, horizon=10.0, default_reward=default)
    model = view(sorvane.serialize(s))
    pending = [(r.decision_id, r.t, r.features) for r in records]
    version = 0
    for op in ops:
        if op[0] == "learn":
            name = f"id{op[1]}" if op[1] < 6 else f"s:{op[1] - 6}"
            _, reward, t = op[1:]
            got = sorvane.learn(s, name, reward, t)
            hit = next((k for k, p in enumerate(pending) if p[0] == name), None)
            if hit is None:
                assert got is None
                continue
            _, rt, f = pending.pop(hit)
            expired = t >= rt + 10.0
            want = (name, default if expired else reward, "expired" if expired else "rewarded")
            assert (got.decision_id, got.reward, got.kind) == want
            reference_update(model, f, want[1])
            version += 1
        elif op[0] == "expire":
            t = op[1]
            due = [p for p in pending if t >= p[1] + 10.0]
            got = sorvane.expire(s, t)
            assert [(r.decision_id, r.reward) for r in got] == [(p[0], default) for p in due]
            for p in due:
                reference_update(model, p[2], default)
            pending = [p for p in pending if not t >= p[1] + 10.0]
            version += len(due)
        elif op[0] == "decide":
            r = sorvane.decide(s, {}, [("c", {"z": op[1]})], op[1], "s")
            pending.append((r.decision_id, op[1], [tuple(x) for x in r.features]))
        else:
            s = sorvane.deserialize(sorvane.serialize(s))
    v = view(sorvane.serialize(s))
    assert [(p.decision_id, p.t) for p in v.pending] == [(p[0], p[1]) for p in pending]
    assert v.model_bytes() == model.model_bytes()
    assert v.model_version == version


def test_ledger_order_and_first_match_survive_heavy_churn():
    # Enough records and removals in scattered order to pass through many
    # compactions and index growths; ids repeat, up to a handful of times.
    rng = random.Random(5)
    n = 3_000 if SANITIZED else 12_000
    names = [f"id{rng.randrange(n // 2)}" for _ in range(n)]
    s = loaded([rec(name, t=float(i), features=[(1, 1.0)]) for i, name in enumerate(names)], dim=2, horizon=1e9)
    # The reference ledger: sequence number -> (id, t), oldest first, and
    # per id the sequence numbers of its pending records, oldest first.
    ledger, by_name = {}, collections.defaultdict(collections.deque)

    def append(name, t):
        seq = len(ledger) and next(reversed(ledger)) + 1
        ledger[seq] = (name, t)
        by_name[name].append(seq)

    for i, name in enumerate(names):
        append(name, float(i))
    for step in range(4):
        for _ in range(len(ledger) // 2):
            name = rng.choice(names) if rng.random() < 0.8 else "missing"
            got = sorvane.learn(s, name, 1.0, 0.0)
            assert (got is None) == (not by_name[name])
            if got is not None:
                del ledger[by_name[name].popleft()]
        for i in range(len(ledger) // 4):  # new records behind the holes
            t = 1e6 + step * n + i
            append(sorvane.decide(s, {}, [("c", {})], t, f"q{step}").decision_id, t)
        assert [(p.decision_id, p.t) for p in view(sorvane.serialize(s)).pending] == list(ledger.values())
    due_at = 1e9 + 1e6 + 2 * n  # the older records come due, the newer stay
    got = sorvane.expire(s, due_at)
    assert [r.decision_id for r in got] == [name for name, t in ledger.values() if due_at >= t + 1e9]
    assert [p.t for p in view(sorvane.serialize(s)).pending] == [t for _, t in ledger.values() if not due_at >= t + 1e9]
