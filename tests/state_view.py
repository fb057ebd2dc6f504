"""Reads a serialized state back into plain values: the model's fields and
arrays, the counters, and the pending records in ledger order, so tests can
check what `learn` and `expire` did to a state bit for bit."""

from __future__ import annotations

import dataclasses
import struct

from float_ops import add, div, mul


@dataclasses.dataclass
class Pending:
    decision_id: str
    t: float
    features: list
    model_version: int


@dataclasses.dataclass
class StateView:
    dim: int
    forgetting: float
    scale: float
    sq_sums: list
    reward_sums: list
    decision_count: int
    model_version: int
    pending: list

    @property
    def pending_ids(self):
        return [p.decision_id for p in self.pending]

    def model_bytes(self) -> bytes:
        """scale and both arrays, as stored: equal bytes, equal model."""
        return struct.pack(f"<d{2 * self.dim}d", self.scale, *self.sq_sums, *self.reward_sums)


def view(text: str) -> StateView:
    data = bytes.fromhex(text)
    dim, _ridge, forgetting, scale = struct.unpack_from("<Qddd", data, 16)
    sq = list(struct.unpack_from(f"<{dim}d", data, 48))
    rw = list(struct.unpack_from(f"<{dim}d", data, 48 + 8 * dim))
    pos = 48 + 16 * dim
    decision_count, model_version, _h, _d, _e, count = struct.unpack_from("<QQdddQ", data, pos)
    pos += 48
    pending = []
    for _ in range(count):
        (n,) = struct.unpack_from("<Q", data, pos)
        decision_id = data[pos + 8 : pos + 8 + n].decode()
        pos += 8 + n
        t, _hash, _chosen, f = struct.unpack_from("<dQQQ", data, pos)
        pos += 32
        features = [struct.unpack_from("<Qd", data, pos + 16 * k) for k in range(f)]
        pos += 16 * f
        _propensity, version, salt_len = struct.unpack_from("<dQQ", data, pos)
        pos += 24 + salt_len
        pending.append(Pending(decision_id, t, features, version))
    assert pos == len(data) - 8
    return StateView(dim, forgetting, scale, sq, rw, decision_count, model_version, pending)


def reference_estimate(model: StateView, features, ridge: float = 1.0) -> float:
    """The model's estimate of a vector in the engine's order of operations."""
    acc = 0.0
    for i, v in features:
        d = add(mul(model.sq_sums[i], model.scale), ridge)
        t = mul(mul(mul(model.reward_sums[i], model.scale), div(1.0, d)), v)
        acc = add(acc, t)
    return acc


def reference_update(model: StateView, features, reward: float) -> None:
    """One model update in the engine's order of operations; Python floats
    round like the engine's (no fused multiply-add)."""
    s = model.forgetting * model.scale
    inv = 1.0 / s
    for i, v in features:
        model.sq_sums[i] = add(mul(mul(v, v), inv), model.sq_sums[i])
        model.reward_sums[i] = add(mul(mul(v, reward), inv), model.reward_sums[i])
    if s <= 2.0**-512:
        model.sq_sums = [x * s for x in model.sq_sums]
        model.reward_sums = [x * s for x in model.reward_sums]
        model.scale = 1.0
    else:
        model.scale = s
