"""Builds and reads state snapshots field by field, so tests can hand the
decoder exactly the corruption they mean, with a correct checksum unless
they ask otherwise."""

from __future__ import annotations

import dataclasses
import struct

from sorvane_cli.log.snapshot import CHECKSUM, FORMAT_VERSION, MAGIC

FNV_OFFSET = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
MASK = (1 << 64) - 1


def fnv1a64(data: bytes) -> int:
    h = FNV_OFFSET
    for b in data:
        h = ((h ^ b) * FNV_PRIME) & MASK
    return h


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def f64(v: float | int) -> bytes:
    """A float, or an int taken as the raw bit pattern (NaN payloads)."""
    if isinstance(v, int) and not isinstance(v, bool):
        return u64(v)
    return struct.pack("<d", v)


def text(s: bytes | str) -> bytes:
    b = s.encode() if isinstance(s, str) else s
    return u64(len(b)) + b


@dataclasses.dataclass
class Record:
    decision_id: bytes | str = "s:0"
    t: float | int = 0.0
    candidate_hash: int = 0
    chosen: int = 0
    features: list = dataclasses.field(default_factory=lambda: [(0, 1.0)])
    propensity: float | int = 1.0
    model_version: int = 0
    salt: bytes | str = "s"
    feature_count: int | None = None  # stored count, when it should lie

    def encode(self) -> bytes:
        out = text(self.decision_id) + f64(self.t) + u64(self.candidate_hash) + u64(self.chosen)
        count = len(self.features) if self.feature_count is None else self.feature_count
        out += u64(count)
        for index, value in self.features:
            out += u64(index) + f64(value)
        return out + f64(self.propensity) + u64(self.model_version) + text(self.salt)


@dataclasses.dataclass
class Snapshot:
    dim: int = 2
    ridge: float | int = 1.0
    forgetting: float | int = 0.999
    scale: float | int = 1.0
    sq_sums: list | None = None  # zeros when None
    reward_sums: list | None = None
    decision_count: int = 0
    model_version: int = 0
    horizon: float | int = 10.0
    default_reward: float | int = 0.0
    epsilon: float | int = 0.05
    records: list = dataclasses.field(default_factory=list)
    magic: bytes = MAGIC
    version: int = FORMAT_VERSION
    record_count: int | None = None  # stored count, when it should lie
    trailing: bytes = b""  # between the last record and the checksum

    def body(self) -> bytes:
        sq = [0.0] * self.dim if self.sq_sums is None else self.sq_sums
        rw = [0.0] * self.dim if self.reward_sums is None else self.reward_sums
        out = [self.magic, u64(self.version), u64(self.dim)]
        out += [f64(self.ridge), f64(self.forgetting), f64(self.scale)]
        out += [f64(v) for v in sq] + [f64(v) for v in rw]
        out += [u64(self.decision_count), u64(self.model_version), f64(self.horizon)]
        out += [f64(self.default_reward), f64(self.epsilon)]
        count = len(self.records) if self.record_count is None else self.record_count
        out.append(u64(count))
        out += [r.encode() for r in self.records]
        out.append(self.trailing)
        return b"".join(out)

    def encode(self) -> bytes:
        return seal(self.body())

    def text(self) -> str:
        return self.encode().hex()


def seal(body: bytes) -> bytes:
    """Appends the checksum over every byte given."""
    return body + u64(fnv1a64(body))


def reseal(snapshot: bytes) -> bytes:
    """Recomputes the checksum of a whole snapshot after an edit."""
    return seal(snapshot[: -CHECKSUM.size])


def checksum_ok(snapshot: bytes) -> bool:
    return CHECKSUM.unpack(snapshot[-CHECKSUM.size :])[0] == fnv1a64(snapshot[: -CHECKSUM.size])
