"""The joint model's shortcuts give what the long way gives: vectors reused
for inputs that read the same as the last call's, and sorvane's records
trained on in place."""
import pytest

import sorvane
from sorvane_cli import JointModel

BITS = 12


def inputs():
    context = {"device": "mobile", "hour": 3, "score": 0.5, "gone": None}
    candidates = [(f"item-{i}", {"category": ("news", "tech")[i % 2], "price": 1.5 + i}) for i in range(4)]
    return context, candidates


def set_number(ctx, cands):
    ctx["score"] = 0.25


def negative_zero(ctx, cands):
    ctx["score"] = 0.0
    cands[0][1]["price"] = -0.0


def set_text(ctx, cands):
    cands[2][1]["category"] = "food"


def add_feature(ctx, cands):
    ctx["extra"] = "x"


def absent_to_present(ctx, cands):
    ctx["gone"] = 1


def rename_candidate(ctx, cands):
    cands[1] = ("item-9", cands[1][1])


def drop_candidate(ctx, cands):
    cands.pop()


def reorder_candidates(ctx, cands):
    cands.reverse()


@pytest.mark.parametrize("change", [set_number, negative_zero, set_text, add_feature, absent_to_present,
                                    rename_candidate, drop_candidate, reorder_candidates])
def test_objects_changed_between_calls_are_read_afresh(change):
    model, state = JointModel(BITS), sorvane.create(BITS, 100.0)
    context, candidates = inputs()
    for k in range(20):  # weights that are not zero
        record = sorvane.decide(state, context, candidates, float(k), "s", score=model.score, explore=model.explore)
        sorvane.learn(state, record.decision_id, float(record.chosen % 2), float(k), train=model.train)
    model.score(context, candidates)
    change(context, candidates)
    fresh = JointModel.deserialize(model.serialize())
    assert model.vectors(context, candidates) == fresh.vectors(context, candidates)
    assert model.score(context, candidates) == fresh.score(context, candidates)


def test_equal_inputs_in_other_objects_and_a_refused_call_between_them():
    model = JointModel(BITS)
    context, candidates = inputs()
    first = model.vectors(context, candidates)
    with pytest.raises(ValueError):
        model.vectors({"bad": object()}, candidates)
    with pytest.raises(ValueError):
        model.vectors(context, [])
    assert model.vectors(*inputs()) == first
    other = dict(context, hour=4)
    assert model.vectors(other, candidates) == JointModel(BITS).vectors(other, candidates)


class Stand:
    """A stand-in for a DecisionRecord: train reads only `features`."""

    def __init__(self, features):
        self.features = features


def test_sorvane_records_train_as_their_features_list_does():
    context, candidates = inputs()
    direct, listed = JointModel(BITS), JointModel(BITS)
    state = sorvane.create(BITS, 100.0)
    for k in range(30):
        record = sorvane.decide(state, context, candidates, float(k), "s", score=direct.score)
        direct.train(record, 0.5 * k)  # a record from decide
        listed.train(Stand(record.features), 0.5 * k)
    trained = []
    record = sorvane.decide(state, context, candidates, 31.0, "s")
    sorvane.learn(state, record.decision_id, 1.0, 31.0, train=lambda r, w: trained.append((r, w)) or direct.train(r, w))
    listed.train(Stand(trained[0][0].features), 1.0)  # a record learn hands to its tap
    assert direct.updates == listed.updates == 31
    assert direct.serialize() == listed.serialize()
