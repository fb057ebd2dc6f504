"""When both operands of an addition or a product are NaN, which one the
result carries is the hardware's choice of operand, and a compiler may swap
the operands of a + b. The engine fixes the operand of every such operation,
so the NaN payloads and signs a state stores, and so its snapshot text, are
the same in every build (the sanitizer build included)."""
import pytest

import sorvane
from decide_reference import hash_candidate
from float_ops import bits, from_bits
from snapshots import Record, Snapshot
from state_view import reference_estimate, reference_update, view


def nan(sign, payload):
    """A quiet NaN with this sign and payload."""
    return from_bits((sign << 63) | 0x7FF8_0000_0000_0000 | payload)


A, B, C, D = nan(0, 0xABCD), nan(1, 0xABCD), nan(0, 0x1234), nan(1, 0x5678)


def exact(vector):
    return [(i, bits(v)) for i, v in vector]


CONTEXT = {"n": A, "m": D, "k": "x", "z": 2.0}
CANDIDATES = [("a", {"x": B, "y": C, "w": -3.0}), ("b", {"x": D}), ("c", {"q": "v"})]


@pytest.mark.parametrize("bits_", [1, 2, 3, 12])
@pytest.mark.parametrize("chosen", range(len(CANDIDATES)))
def test_nan_feature_values_keep_the_bits_of_their_first_operand(bits_, chosen):
    # Products of NaN context and candidate weights, and at small bits the
    # sums of colliding NaN pairs, in the record and in the snapshot.
    s = sorvane.create(bits_, 10.0)
    pick = [1.0 if k == chosen else 0.0 for k in range(len(CANDIDATES))]
    record = sorvane.decide(s, CONTEXT, CANDIDATES, 0.0, "s", explore=lambda e, eps: pick)
    want = exact(hash_candidate(CONTEXT, *CANDIDATES[chosen], bits_))
    assert exact(record.features) == want
    assert exact(view(sorvane.serialize(s)).pending[0].features) == want


def nan_model(dim):
    """Snapshot fields: every model coordinate a NaN of its own."""
    return {"dim": dim, "sq_sums": [nan(k % 2, 0x100 + k) for k in range(dim)],
            "reward_sums": [nan(1 - k % 2, 0x200 + k) for k in range(dim)]}


def test_learn_and_expire_store_the_nan_of_the_first_operand():
    records = [
        Record("r0", t=0.0, features=[(0, A), (1, 2.0), (2, B)]),
        Record("r1", t=0.0, features=[(0, C), (3, D)]),
        Record("r2", t=0.0, features=[(1, B), (2, -1.5), (3, A)]),
    ]
    s = sorvane.deserialize(Snapshot(**nan_model(4), forgetting=0.5, horizon=10.0, default_reward=D,
                                     records=records).text())
    model = view(sorvane.serialize(s))
    sorvane.learn(s, "r0", C, 0.0)  # NaN feature times NaN reward, plus a NaN coordinate
    sorvane.learn(s, "r1", 3.0, 0.0)
    sorvane.expire(s, 1e9)  # the NaN default reward
    for features, reward in ((records[0].features, C), (records[1].features, 3.0), (records[2].features, D)):
        reference_update(model, features, reward)
    assert view(sorvane.serialize(s)).model_bytes() == model.model_bytes()
    # Coordinate 0 held a NaN of its own when r1's NaN feature C was added
    # to it: the sum keeps C, the first operand, sign and payload.
    assert bits(model.sq_sums[0]) == bits(C)


@pytest.mark.parametrize("bits_", [2, 3])
def test_estimates_over_nan_coordinates_keep_the_bits_of_their_first_operand(bits_):
    dim = 1 << bits_
    s = sorvane.deserialize(Snapshot(**nan_model(dim), scale=0.5).text())
    context, candidates = {"u": 1.5, "t": "k"}, [("a", {"x": 2.0}), ("b", {"y": "z"})]
    seen = []
    sorvane.decide(s, context, candidates, 0.0, "s", explore=lambda e, eps: seen.extend(e) or [1.0, 0.0])
    model = view(sorvane.serialize(s))
    vectors = [hash_candidate(context, *c, bits_) for c in candidates]
    assert all(len(v) >= 2 for v in vectors)  # every estimate adds NaN to NaN
    assert [bits(e) for e in seen] == [bits(reference_estimate(model, v)) for v in vectors]
