"""The joint model text's layout, and a reader of the whole text.

A joint model's text (`JointModel.serialize`) is lowercase hexadecimal over
little-endian bytes, each field one 8-byte word (an unsigned integer, or a
float's bit pattern). In order:

    HEADER        magic "SVJOINT\\0", format version, bits, explore rule,
                  learning_rate, gamma_scale, initial_accumulator, updates
    weights       2**bits floats
    accumulators  2**bits floats: each coordinate's sum of squared gradients
    CHECKSUM      FNV-1a 64 over every byte before it

The native class is the judge of a text; only text `JointModel.deserialize`
has accepted is read here, and the settings come from the model it makes.
The magic and the format version are still checked, so that a layout this
reader does not know is refused rather than misread.
"""
import array
import itertools
import math
import struct
import sys

from sorvane_cli.joint_model import JointModel

MAGIC = b"SVJOINT\x00"
FORMAT_VERSION = 1
# The magic as the text spells it.
TEXT_MAGIC = MAGIC.hex()

HEADER = struct.Struct("<8sQQQdddQ")
CHECKSUM = struct.Struct("<Q")


def _doubles(data, start, count):
    values = array.array("d")
    values.frombytes(data[start : start + 8 * count])
    if sys.byteorder != "little":  # pragma: no cover - the text is little-endian
        values.byteswap()
    return values


class JointModelContents:
    """Everything a joint model's text holds: `model` (the native model it
    deserializes to, for its settings and updates), `weights` and
    `accumulators`, one per coordinate."""

    def __init__(self, text):
        self.model = JointModel.deserialize(text)  # raises ValueError with the model's own message
        data = bytes.fromhex(text)
        magic, version = HEADER.unpack_from(data)[:2]
        if magic != MAGIC or version != FORMAT_VERSION:
            raise ValueError(f"unsupported joint model format version {version}")
        dim = 1 << self.model.bits
        if len(data) != HEADER.size + 16 * dim + CHECKSUM.size:  # pragma: no cover - deserialize checked it
            raise ValueError("truncated joint model text")
        self.weights = _doubles(data, HEADER.size, dim)
        self.accumulators = _doubles(data, HEADER.size + 8 * dim, dim)

    def trained(self):
        """The coordinates some training step has moved (an accumulator past
        its starting value), in increasing order."""
        start = self.model.initial_accumulator
        return list(itertools.compress(range(len(self.accumulators)), map(start.__ne__, self.accumulators)))

    def gamma(self):
        """SquareCB's gamma at the model's update count, as its explore
        computes it."""
        return self.model.gamma_scale * math.sqrt(float(self.model.updates))

    def estimate(self, features):
        """The model's estimate of a vector of (index, value) pairs, bit for
        bit the native model's."""
        weights = self.weights
        acc = 0.0
        for index, value in features:
            acc = acc + weights[index] * value
        return acc
