"""Reads a serialized state back into plain values: the model's fields and
arrays, the counters, and the pending records in ledger order, so tests can
check what `learn` and `expire` did to a state bit for bit."""

from __future__ import annotations

import dataclasses
import struct

from float_ops import add, div, mul
from sorvane_cli.log.snapshot import (CHECKSUM, MODEL_FIELDS, MODEL_OFFSET, PAIR, RECORD_HEAD, RECORD_TAIL,
                                  STATE_FIELDS, SUM, SUMS_OFFSET, TEXT_LENGTH, scalar_fields,
                                  state_fields_offset)


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
    fields = scalar_fields(text)  # checks the magic and the version
    data = bytes.fromhex(text)
    dim, _ridge, forgetting, scale = MODEL_FIELDS.unpack_from(data, MODEL_OFFSET)
    sq = list(struct.unpack_from(f"<{dim}d", data, SUMS_OFFSET))
    rw = list(struct.unpack_from(f"<{dim}d", data, SUMS_OFFSET + dim * SUM.size))
    pos = state_fields_offset(dim) + STATE_FIELDS.size
    pending = []

    def text_at(pos):
        (n,) = TEXT_LENGTH.unpack_from(data, pos)
        start = pos + TEXT_LENGTH.size
        return data[start : start + n].decode(), start + n

    for _ in range(fields["records"]):
        decision_id, pos = text_at(pos)
        t, _hash, _chosen, f = RECORD_HEAD.unpack_from(data, pos)
        pos += RECORD_HEAD.size
        features = [PAIR.unpack_from(data, pos + PAIR.size * k) for k in range(f)]
        pos += PAIR.size * f
        _propensity, version = RECORD_TAIL.unpack_from(data, pos)
        _salt, pos = text_at(pos + RECORD_TAIL.size)
        pending.append(Pending(decision_id, t, features, version))
    assert pos == len(data) - CHECKSUM.size
    return StateView(dim, forgetting, scale, sq, rw, fields["decision_count"], fields["model_version"], pending)


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
