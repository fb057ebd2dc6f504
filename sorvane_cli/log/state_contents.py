"""A serialized state read whole: its scalar fields, the model's two arrays
and the pending records, with the model's weights and estimates computed in
the engine's own order of operations.

The text is handed to `sorvane.deserialize` first: the engine's reader is the
judge of a snapshot, and only text it accepts is read here, with the layout
of `snapshot`.
"""
import array
import itertools
import sys
from typing import NamedTuple

import sorvane

from sorvane_cli.log.snapshot import (
    PAIR,
    RECORD_HEAD,
    RECORD_TAIL,
    STATE_FIELDS,
    SUMS_OFFSET,
    TEXT_LENGTH,
    scalar_fields,
)

_STATE_FIELDS_SIZE = STATE_FIELDS.size


class PendingRecord(NamedTuple):
    """A decision still waiting for its outcome, as the state stores it."""

    decision_id: str
    t: float
    candidate_hash: int
    chosen: int
    features: list
    propensity: float
    model_version: int
    salt: str


def _text(data, at):
    (length,) = TEXT_LENGTH.unpack_from(data, at)
    at += TEXT_LENGTH.size
    return data[at : at + length].decode("utf-8"), at + length


def _records(data, at, count):
    out = []
    for _ in range(count):
        decision_id, at = _text(data, at)
        t, candidate_hash, chosen, feature_count = RECORD_HEAD.unpack_from(data, at)
        at += RECORD_HEAD.size
        features = [PAIR.unpack_from(data, at + k * PAIR.size) for k in range(feature_count)]
        at += feature_count * PAIR.size
        propensity, model_version = RECORD_TAIL.unpack_from(data, at)
        at += RECORD_TAIL.size
        salt, at = _text(data, at)
        out.append(PendingRecord(decision_id, t, candidate_hash, chosen, features, propensity, model_version, salt))
    return out


def _doubles(data, start, count):
    values = array.array("d")
    values.frombytes(data[start : start + 8 * count])
    if sys.byteorder != "little":  # pragma: no cover - the snapshot is little-endian
        values.byteswap()
    return values


class StateContents:
    """Everything a state holds. `fields` has the names of
    `snapshot.scalar_fields`; `sq_sums` and `reward_sums` are the stored
    (unscaled) sums, `records` the pending decisions in ledger order."""

    def __init__(self, text):
        sorvane.deserialize(text)  # raises ValueError with the engine's message
        self.fields = scalar_fields(text)
        data = bytes.fromhex(text)
        dim = self.fields["dim"]
        self.sq_sums = _doubles(data, SUMS_OFFSET, dim)
        self.reward_sums = _doubles(data, SUMS_OFFSET + 8 * dim, dim)
        records_at = SUMS_OFFSET + 16 * dim + _STATE_FIELDS_SIZE
        self.records = _records(data, records_at, self.fields["records"])

    @property
    def bits(self):
        """log2 of the dimension, or None when it is not a power of two."""
        dim = self.fields["dim"]
        return dim.bit_length() - 1 if dim & (dim - 1) == 0 else None

    def trained(self):
        """The coordinates some resolution has trained (a nonzero squared
        sum), in increasing order."""
        raw = memoryview(self.sq_sums).cast("B").cast("Q")
        # compress walks the integers in C: a bits-24 model in a fraction of a second.
        return list(itertools.compress(range(len(raw)), raw))

    def weight(self, index):
        """The model's weight of one coordinate: an estimate is the sum of
        weight x value over a vector's pairs, in this very order."""
        scale = self.fields["scale"]
        d = self.sq_sums[index] * scale + self.fields["ridge"]
        return (self.reward_sums[index] * scale) * (1.0 / d)

    def estimate(self, features):
        """The model's estimate of a vector of (index, value) pairs, bit for
        bit the engine's."""
        acc = 0.0
        for index, value in features:
            acc = acc + self.weight(index) * value
        return acc
