"""DecisionRecord and Resolution as Python sees them: read-only, made only by
the module, holding the caller's own inputs and nothing else."""
import copy
import gc
import pickle
import sys
import weakref

import pytest

import sorvane

RECORD_ATTRIBUTES = [
    "decision_id",
    "t",
    "candidate_hash",
    "chosen",
    "features",
    "propensity",
    "model_version",
    "salt",
    "bits",
    "context",
    "candidates",
]
RESOLUTION_ATTRIBUTES = ["decision_id", "kind", "reward"]

RECORD_DOC = (
    "One decision, self-contained: what was chosen, with what probability,\n"
    "under which id \u2014 everything outcome reporting and offline evaluation\n"
    "need. Records returned by `decide` additionally carry the inputs the\n"
    "decision was made over (`bits`, `context`, `candidates` \u2014 the\n"
    "caller's own objects), so they log as-is via `log_line`; records that\n"
    "crossed the state boundary (a `train` callback's) carry None there \u2014\n"
    "the ledger keeps only the compact record."
)
RESOLUTION_DOC = "One resolution event: how a decision left the ledger. `reward` is what\nthe model trained with."


def a_record(bits=12):
    s = sorvane.create(bits, 1.0)
    return s, sorvane.decide(s, {"u": "v", "n": 2}, [("a", {"k": 1}), ("b", {})], 1.5, "salt")


def a_resolution():
    s, record = a_record()
    return sorvane.learn(s, record.decision_id, 0.25, 1.0)


@pytest.mark.parametrize(
    "cls, doc, attributes",
    [
        (sorvane.DecisionRecord, RECORD_DOC, RECORD_ATTRIBUTES),
        (sorvane.Resolution, RESOLUTION_DOC, RESOLUTION_ATTRIBUTES),
    ],
)
def test_classes_show_their_docstring_and_attributes_in_order(cls, doc, attributes):
    assert cls.__doc__ == doc
    assert repr(cls) == f"<class 'sorvane.{cls.__name__}'>"
    assert [n for n in cls.__dict__ if not n.startswith("__")] == attributes
    for name in attributes:
        assert cls.__dict__[name].__doc__ is None


@pytest.mark.parametrize("make, attributes", [(lambda: a_record()[1], RECORD_ATTRIBUTES), (a_resolution, RESOLUTION_ATTRIBUTES)])
def test_attributes_cannot_be_set_added_or_deleted(make, attributes):
    obj = make()
    values = [repr(getattr(obj, n)) for n in attributes]
    for name in attributes:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
        with pytest.raises(AttributeError):
            delattr(obj, name)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert [repr(getattr(obj, n)) for n in attributes] == values


@pytest.mark.parametrize("make", [lambda: a_record()[1], a_resolution])
def test_instances_compare_by_identity_and_neither_copy_pickle_nor_weakref(make):
    obj, twin = make(), make()
    assert obj == obj and obj != twin and hash(obj) == hash(obj)
    assert repr(obj).startswith(f"<sorvane.{type(obj).__name__} object at 0x")
    for action in (pickle.dumps, copy.copy, copy.deepcopy, weakref.ref):
        with pytest.raises(TypeError):
            action(obj)
    with pytest.raises(TypeError):
        type(obj).__new__(type(obj))


def test_a_record_carries_the_decision_and_the_callers_inputs():
    s = sorvane.create(12, 1.0)
    context, candidates = {"u": "v", "n": 2}, [("a", {"k": 1}), ("b", {})]
    record = sorvane.decide(s, context, candidates, 1.5, "salt")
    assert record.context is context and record.candidates is candidates
    assert record.bits == sorvane.model_bits(s) == 12
    assert (record.decision_id, record.t, record.salt, record.model_version) == ("salt:0", 1.5, "salt", 0)
    assert type(record.candidate_hash) is int and 0 <= record.candidate_hash < 2**64
    assert type(record.chosen) is int and type(record.propensity) is float and type(record.t) is float


def test_candidate_hashes_above_two_to_the_53_read_exactly():
    s = sorvane.create(12, 1.0)
    hashes = [sorvane.decide(s, {}, [(str(i), {})], 0.0, "s").candidate_hash for i in range(50)]
    assert any(h > 2**53 for h in hashes)
    assert all(type(h) is int for h in hashes)


def test_features_are_a_new_list_of_new_tuples_on_every_read():
    _, record = a_record()
    first, second = record.features, record.features
    assert first == second and first is not second
    assert all(type(p) is tuple and len(p) == 2 and type(p[0]) is int and type(p[1]) is float for p in first)
    assert all(a is not b for a, b in zip(first, second))
    first.append((0, 1.0))
    first[0] = None
    assert record.features == second
    indices = [i for i, _ in second]
    assert indices == sorted(set(indices))


def test_a_train_callbacks_record_crossed_the_state_boundary():
    s, record = a_record()
    seen = []
    sorvane.learn(s, record.decision_id, 1.0, 0.0, lambda r, reward: seen.append(r))
    (compact,) = seen
    assert (compact.bits, compact.context, compact.candidates) == (None, None, None)
    for name in RECORD_ATTRIBUTES[:8]:
        assert getattr(compact, name) == getattr(record, name)


def test_resolutions_read_their_id_kind_and_reward():
    s, record = a_record()
    resolution = sorvane.learn(s, record.decision_id, 0.25, 1.0)
    assert (resolution.decision_id, resolution.kind, resolution.reward) == ("salt:0", "rewarded", 0.25)
    late = sorvane.decide(s, {}, [("a", {})], 0.0, "late")
    (expired,) = sorvane.expire(s, 5.0)
    assert (expired.decision_id, expired.kind, expired.reward) == (late.decision_id, "expired", 0.0)


def test_a_record_keeps_the_callers_objects_alive_and_releases_them():
    s = sorvane.create(8, 1.0)
    context, candidates, salt = {"u": "v"}, [("a", {"k": 1})], "salt-" + str(id(s))
    objects = [context, candidates, candidates[0], candidates[0][1], salt]
    before = [sys.getrefcount(o) for o in objects]
    records = [sorvane.decide(s, context, candidates, 0.0, salt) for _ in range(100)]
    during = [sys.getrefcount(o) for o in objects]
    assert during[:2] == [before[0] + 100, before[1] + 100] and during[2:] == before[2:]
    del records
    assert [sys.getrefcount(o) for o in objects] == before


def test_inputs_keep_their_reference_counts_through_failing_decisions():
    s = sorvane.create(8, 1.0)
    context, good, salt = {"u": "v", "n": 1}, [("a", {"k": 1})], "salt-" + str(id(s))
    bad = [("a", {"k": 1}), ("b", {"k": [1]})]
    objects = [context, good, bad, bad[0], bad[1], bad[1][1], bad[1][1]["k"], salt]
    before = [sys.getrefcount(o) for o in objects]
    for call in (
        lambda: sorvane.decide(s, context, bad, 0.0, salt),
        lambda: sorvane.decide(s, context, [], 0.0, salt),
        lambda: sorvane.decide(s, context, good, 0.0, salt, score=lambda c, k: [1.0, 2.0]),
        lambda: sorvane.decide(s, context, good, 0.0, salt, explore=lambda e, eps: 7),
        lambda: sorvane.decide(s, {"x": bad}, good, 0.0, salt),
    ):
        for _ in range(50):
            with pytest.raises(ValueError):
                call()
    assert [sys.getrefcount(o) for o in objects] == before


def test_a_record_inside_its_own_context_is_collected():
    class Marker:
        pass

    context = {"u": "v"}
    record = sorvane.decide(sorvane.create(8, 1.0), context, [("a", {})], 0.0, "s")
    marker = Marker()
    context["record"], context["marker"] = record, marker
    alive = weakref.ref(marker)
    del context, record, marker
    gc.collect()
    assert alive() is None
