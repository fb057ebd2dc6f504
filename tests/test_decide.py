"""decide from end to end: the hashed vectors, the ids, the draw, the
fingerprint, determinism, and the state left exactly as it was by every
failure."""
import math
import os
import subprocess
import sys
import textwrap

import pytest

import sorvane
from decide_reference import FNV_OFFSET, finalise, fnv1a, u64, uniform
from snapshots import Snapshot
from state_view import view

U_S0 = 0.4281113861753185
U_S1 = 0.21850541063183537
U_EMPTY_SALT = 0.07890028579521091
BIAS_INDEX_24 = 8636187
SIX_PAIRS = [
    (3849230, -1.0),
    (8568293, -2.0),
    (8636187, 1.0),
    (8892730, 2.0),
    (10962198, -1.0),
    (11329334, -1.0),
]


def force(index, n):
    """An explore callable that puts all probability on one candidate."""
    return lambda estimates, epsilon: [1.0 if i == index else 0.0 for i in range(n)]


def copy_of(state):
    return sorvane.deserialize(sorvane.serialize(state))


def test_a_lone_candidate_x_at_four_bits_hashes_to_bias_and_identity():
    record = sorvane.decide(sorvane.create(4, 1.0), {}, [("x", {})], 0.0, "s")
    assert record.features == [(11, 1.0), (14, -1.0)]
    assert record.candidate_hash == 0x4DBD40A61FB1556F
    assert (record.chosen, record.propensity) == (0, 1.0)


def test_one_text_context_feature_and_one_number_feature_give_six_pairs():
    record = sorvane.decide(sorvane.create(24, 1.0), {"u": "v"}, [("x", {"n": 2.0})], 0.0, "s")
    assert record.features == SIX_PAIRS


def test_every_candidate_carries_the_positive_bias_pair_at_24_bits():
    candidates = [(f"c{i}", {"k": i, "t": f"v{i}"}) for i in range(5)]
    s = sorvane.create(24, 1.0)
    for i in range(5):
        record = sorvane.decide(s, {"a": "b", "n": 3.5}, candidates, 0.0, "s", explore=force(i, 5))
        assert record.chosen == i
        assert (BIAS_INDEX_24, 1.0) in record.features


@pytest.mark.parametrize(
    "context_a, context_b",
    [
        ({"u": "v", "gone": None}, {"u": "v"}),
        ({"a": 1, "b": "x", "c": 2.5}, {"c": 2.5, "b": "x", "a": 1}),
        ({"n": True}, {"n": 1}),
        ({"n": 1}, {"n": 1.0}),
        ({"n": False, "u": "v"}, {"u": "v"}),
    ],
)
def test_vectors_ignore_absent_features_feature_order_and_number_spelling(context_a, context_b):
    candidates = [("x", {"p": 2, "q": "r", "z": None}), ("y", {"q": "r", "p": 2})]
    a = [sorvane.decide(sorvane.create(20, 1.0), context_a, candidates, 0.0, "s", explore=force(i, 2)) for i in (0, 1)]
    b = [sorvane.decide(sorvane.create(20, 1.0), context_b, candidates, 0.0, "s", explore=force(i, 2)) for i in (0, 1)]
    assert [r.features for r in a] == [r.features for r in b]
    assert a[0].candidate_hash == b[0].candidate_hash


def test_a_number_named_like_a_text_feature_hashes_the_same_text():
    # No escaping: the number feature k=v and the text feature k: v give the
    # same term text, weighted 3.0 and 1.0.
    number = sorvane.decide(sorvane.create(24, 1.0), {}, [("x", {"k=v": 3.0})], 0.0, "s").features
    text = sorvane.decide(sorvane.create(24, 1.0), {}, [("x", {"k": "v"})], 0.0, "s").features
    assert [i for i, _ in number] == [i for i, _ in text]
    assert sorted(abs(v) for _, v in number) == [1.0, 1.0, 3.0]


def test_colliding_bias_and_identity_merge_or_cancel_at_one_bit():
    # At one bit the bias pair sits at index 1 with 1.0; the identity pair
    # either lands beside it or merges with it into 2.0 or into nothing.
    seen = set()
    for i in range(40):
        features = sorvane.decide(sorvane.create(1, 1.0), {}, [(f"id{i}", {})], 0.0, "s").features
        assert features in ([], [(1, 2.0)], [(0, 1.0), (1, 1.0)], [(0, -1.0), (1, 1.0)])
        seen.add(len(features))
    assert seen == {0, 1, 2}


def test_ids_count_decisions_after_the_salt():
    s = sorvane.create(8, 1.0)
    ids = [sorvane.decide(s, {}, [("a", {})], 0.0, salt).decision_id for salt in ("s", "s", "", "a:b", "é")]
    assert ids == ["s:0", "s:1", ":2", "a:b:3", "é:4"]
    assert sorvane.decide(sorvane.create(8, 1.0), {}, [("a", {})], 0.0, "").decision_id == ":0"


def test_the_reference_draw_pins_the_seed_and_uniform_numbers_of_s0_s1_and_the_empty_salt():
    seed = fnv1a(FNV_OFFSET, u64(3) + b"s:0" + b"s")
    assert seed == 0xC9EE18D6B12036BA
    assert (finalise(seed) >> 11) * 2.0**-53 == U_S0
    assert (uniform("s:0", "s"), uniform("s:1", "s"), uniform(":0", "")) == (U_S0, U_S1, U_EMPTY_SALT)


@pytest.mark.parametrize("salt, earlier, u", [("s", 0, U_S0), ("s", 1, U_S1), ("", 0, U_EMPTY_SALT)])
def test_the_draw_compares_exactly_the_pinned_uniform_number(salt, earlier, u):
    # With probabilities [p, 1 - p] the first candidate is chosen exactly
    # when u < p: p = u and the next float up bracket u.
    base = sorvane.create(8, 1.0)
    for _ in range(earlier):
        sorvane.decide(base, {}, [("a", {})], 0.0, salt)
    two = [("a", {}), ("b", {})]

    def chosen_with(p):
        return sorvane.decide(copy_of(base), {}, two, 0.0, salt, explore=lambda e, eps: [p, 1.0 - p]).chosen

    assert chosen_with(u) == 1
    assert chosen_with(math.nextafter(u, 1.0)) == 0


def test_epsilon_tenth_with_tied_best_estimates_picks_the_second_candidate():
    s = sorvane.create(8, 1.0, epsilon=0.1)
    four = [(c, {}) for c in "abcd"]
    record = sorvane.decide(s, {}, four, 0.0, "s", score=lambda c, k: [0.5, 0.7, 0.7, 0.1])
    assert record.decision_id == "s:0"
    assert record.chosen == 1
    assert record.propensity == 0.47500000000000003


@pytest.mark.parametrize(
    "epsilon, estimates, propensities",
    [
        (0.0, [1.0, 3.0, 3.0], {0.0, 0.5}),
        (1.0, [1.0, 3.0, 2.0], {1 / 3}),
        (0.2, [2.0, 2.0, 2.0, 2.0], {(1 - 0.2) / 4 + 0.2 / 4}),
        (0.1, [0.5, 0.7, 0.7, 0.1], {0.025, 0.47500000000000003}),
    ],
)
def test_epsilon_greedy_gives_the_best_one_minus_epsilon_shared_plus_epsilon_over_n(epsilon, estimates, propensities):
    s = sorvane.create(8, 1.0, epsilon=epsilon)
    n = len(estimates)
    candidates = [(str(i), {}) for i in range(n)]
    seen = set()
    for i in range(60):
        record = sorvane.decide(s, {}, candidates, 0.0, f"salt{i}", score=lambda c, k: estimates)
        assert record.propensity in propensities
        if record.propensity == 0.0:
            pytest.fail("a candidate with probability 0 was drawn")
        seen.add(record.propensity)
        if epsilon == 0.0:
            assert estimates[record.chosen] == max(estimates)
    assert seen == propensities - {0.0}


def test_explore_putting_everything_on_the_last_candidate_always_chooses_it():
    s = sorvane.create(8, 1.0)
    for i in range(20):
        record = sorvane.decide(s, {}, [("a", {}), ("b", {})], 0.0, f"{i}", explore=lambda e, eps: [0.0, 1.0])
        assert (record.chosen, record.propensity) == (1, 1.0)


def test_records_depend_on_t_only_through_their_t():
    context, candidates = {"u": "v", "n": 2}, [("a", {"x": 1}), ("b", {"y": "z"}), ("c", {})]
    a = sorvane.decide(sorvane.create(16, 1.0, epsilon=0.5), context, candidates, 0.0, "s")
    b = sorvane.decide(sorvane.create(16, 1.0, epsilon=0.5), context, candidates, 12345.5, "s")
    assert (a.t, b.t) == (0.0, 12345.5)
    fields = ["decision_id", "candidate_hash", "chosen", "features", "propensity", "model_version", "salt"]
    assert [getattr(a, f) for f in fields] == [getattr(b, f) for f in fields]


def test_t_is_stored_unchanged_including_nan_and_infinities():
    s = sorvane.create(8, 1.0)
    assert math.isnan(sorvane.decide(s, {}, [("a", {})], math.nan, "s").t)
    assert sorvane.decide(s, {}, [("a", {})], -math.inf, "s").t == -math.inf
    assert sorvane.decide(s, {}, [("a", {})], 7, "s").t == 7.0


def test_model_version_is_copied_from_the_state():
    s = sorvane.create(8, 1.0)
    first = sorvane.decide(s, {}, [("a", {})], 0.0, "s")
    sorvane.learn(s, first.decision_id, 1.0, 0.0)
    sorvane.learn(s, sorvane.decide(s, {}, [("a", {})], 0.0, "s").decision_id, 1.0, 0.0)
    assert (first.model_version, sorvane.decide(s, {}, [("a", {})], 0.0, "s").model_version) == (0, 2)


def test_non_finite_context_numbers_reach_the_vector():
    record = sorvane.decide(sorvane.create(24, 1.0), {"n": math.inf, "m": math.nan}, [("x", {})], 0.0, "s")
    values = [v for _, v in record.features]
    assert sum(math.isinf(v) for v in values) == 2 and sum(math.isnan(v) for v in values) == 2


def test_a_decision_enters_the_ledger_and_the_counter():
    s = sorvane.create(8, 1.0)
    record = sorvane.decide(s, {"u": "v"}, [("a", {"n": 1.5})], 3.0, "s")
    state = view(sorvane.serialize(s))
    assert state.decision_count == 1
    assert [(p.decision_id, p.t, p.features) for p in state.pending] == [("s:0", 3.0, record.features)]


# ---- determinism ------------------------------------------------------------

SCRIPT = textwrap.dedent(
    """
    import sorvane
    s = sorvane.create(12, 2.0, epsilon=0.3)
    context = {"user": "ann", "age": 31, "score": -0.25, "vip": True, "none": None}
    candidates = [(f"item{i}", {"price": i * 1.5, "color": "red" if i % 2 else "blue", "new": i % 3 == 0})
                  for i in range(7)]
    for i in range(40):
        r = sorvane.decide(s, context, candidates, float(i), "salt" if i % 3 else "")
        if i % 4 == 0:
            sorvane.learn(s, r.decision_id, (i % 5) / 4.0, float(i))
        print(r.decision_id, r.t.hex(), r.candidate_hash, r.chosen,
              [(k, v.hex()) for k, v in r.features], r.propensity.hex(), r.model_version, r.salt)
    print(sorvane.serialize(s))
    """
)


def run_script_here():
    lines = []
    exec(compile(SCRIPT, "<decisions>", "exec"), {"print": lambda *a: lines.append(" ".join(map(str, a)))})
    return lines


def test_the_same_calls_give_bit_identical_records_and_states():
    assert run_script_here() == run_script_here()


def test_another_process_makes_bit_identical_decisions():
    env = dict(os.environ, PYTHONHASHSEED="12345")
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, check=True, env=env)
    assert out.stdout.splitlines() == run_script_here()


# ---- failures leave the state untouched ---------------------------------------


class Boom(Exception):
    pass


def raise_boom(*args):
    raise Boom()


CANDIDATES = [("a", {"x": 1.0}), ("b", {"y": "z"})]

ENGINE_FAILURES = [
    (lambda s: sorvane.decide(s, {}, [], 0.0, "s"), ValueError, "need at least one candidate"),
    (lambda s: sorvane.decide(s, {}, (), 0.0, "s", score=raise_boom), ValueError, "need at least one candidate"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", score=lambda c, k: [1.0, math.inf]), ValueError,
     "score must return one finite estimate per candidate"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", score=lambda c, k: [1.0]), ValueError,
     "score must return one finite estimate per candidate"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", score=lambda c, k: [1.0, 2.0], explore=raise_boom),
     Boom, None),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", score=raise_boom), Boom, None),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", explore=lambda e, eps: [0.5, 0.5, 0.0]), ValueError,
     "explore must return one probability per candidate"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", explore=lambda e, eps: [0.5, 0.500000002]), ValueError,
     "explore probabilities must be finite, nonnegative, and sum to 1"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", explore=lambda e, eps: [1.5, -0.5]), ValueError,
     "explore probabilities must be finite, nonnegative, and sum to 1"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", explore=lambda e, eps: [math.nan, 1.0]), ValueError,
     "explore probabilities must be finite, nonnegative, and sum to 1"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, 0.0, "s", explore=lambda e, eps: [math.inf, 0.0]), ValueError,
     "explore probabilities must be finite, nonnegative, and sum to 1"),
    (lambda s: sorvane.decide(s, {}, "ab", 0.0, "s"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda s: sorvane.decide(s, {"k": [1]}, CANDIDATES, 0.0, "s"), ValueError,
     "feature 'k' has unsupported type <class 'list'>"),
    (lambda s: sorvane.decide(s, {}, CANDIDATES, "later", "s"), TypeError, None),
]


def check_raises(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    if message is not None:
        assert str(info.value) == message
        assert getattr(info.value, "__notes__", None) is None


@pytest.mark.parametrize("call, exc_type, message", ENGINE_FAILURES)
def test_a_failed_decide_changes_nothing_and_consumes_no_number(call, exc_type, message):
    s = sorvane.create(10, 1.0, epsilon=0.2)
    sorvane.decide(s, {}, CANDIDATES, 0.0, "s")
    before = sorvane.serialize(s)
    check_raises(lambda: call(s), exc_type, message)
    assert sorvane.serialize(s) == before
    assert sorvane.decide(s, {}, CANDIDATES, 0.0, "s").decision_id == "s:1"


@pytest.mark.parametrize(
    "explore",
    [lambda e, eps: [0.5, 0.5000000005], lambda e, eps: [-0.0, 1.0], lambda e, eps: (1, 0)],
)
def test_explore_probabilities_within_the_tolerance_are_accepted(explore):
    record = sorvane.decide(sorvane.create(8, 1.0), {}, CANDIDATES, 0.0, "s", explore=explore)
    assert record.decision_id == "s:0"


def test_a_rejected_score_never_reaches_explore():
    called = []
    with pytest.raises(ValueError, match="^score must return"):
        sorvane.decide(sorvane.create(8, 1.0), {}, CANDIDATES, 0.0, "s", score=lambda c, k: [math.nan, 1.0],
                       explore=lambda e, eps: called.append(1) or [0.5, 0.5])
    assert called == []


@pytest.mark.parametrize("dim", [1, 3, 6, 12])
def test_a_loaded_state_without_a_power_of_two_dimension_refuses_to_decide(dim):
    s = sorvane.deserialize(Snapshot(dim=dim).text())
    before = sorvane.serialize(s)
    check_raises(
        lambda: sorvane.decide(s, {}, CANDIDATES, 0.0, "s"),
        ValueError,
        "model dimension is not 2**bits for bits in [1, 24]; the state was not built by create()",
    )
    # Conversion comes first: a bad input is reported before the dimension.
    check_raises(lambda: sorvane.decide(s, {}, "ab", 0.0, "s"), TypeError, "Can't extract `str` to `Vec`")
    assert sorvane.serialize(s) == before


def test_no_candidates_is_reported_before_the_score_callable_runs():
    called = []
    check_raises(
        lambda: sorvane.decide(sorvane.create(8, 1.0), {}, [], 0.0, "s", score=lambda c, k: called.append(1)),
        ValueError,
        "need at least one candidate",
    )
    assert called == []
