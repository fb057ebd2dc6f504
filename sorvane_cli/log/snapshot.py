"""The state snapshot's layout, and a reader of its scalar fields.

A serialized state is hexadecimal text over a little-endian binary
snapshot. Every field is one 8-byte word (an unsigned integer, or a float's
bit pattern) except texts, which are a word holding their byte length and
then their UTF-8 bytes. In order:

    PREAMBLE      magic, format version
    MODEL_FIELDS  dim, ridge, forgetting, scale
    SUM           sq_sums[0..dim), then reward_sums[0..dim)
    STATE_FIELDS  decision_count, model_version, horizon, default_reward,
                  epsilon, record count
    records       each: decision_id (text), RECORD_HEAD, feature count PAIRs,
                  RECORD_TAIL, salt (text)
    CHECKSUM      FNV-1a 64 over every byte before it

The engine's own reader is the judge of a snapshot; the toolkit reads only
text that `sorvane.deserialize` has accepted. It still checks the magic and
the format version, so that a layout it does not know is refused rather than
misread.
"""
import struct

MAGIC = b"sorvane\x00"
FORMAT_VERSION = 1

PREAMBLE = struct.Struct("<8sQ")
MODEL_FIELDS = struct.Struct("<Qddd")
SUM = struct.Struct("<d")
STATE_FIELDS = struct.Struct("<QQdddQ")
TEXT_LENGTH = struct.Struct("<Q")
RECORD_HEAD = struct.Struct("<dQQQ")  # t, candidate_hash, chosen, feature count
PAIR = struct.Struct("<Qd")  # index, value
RECORD_TAIL = struct.Struct("<dQ")  # propensity, model_version
CHECKSUM = struct.Struct("<Q")

MODEL_OFFSET = PREAMBLE.size
SUMS_OFFSET = MODEL_OFFSET + MODEL_FIELDS.size


def state_fields_offset(dim):
    """Where the state's own fields start, behind the model's 2 * dim sums."""
    return SUMS_OFFSET + 2 * dim * SUM.size


def smallest_size(dim):
    """Bytes of a snapshot of `dim` features that holds no pending record."""
    return state_fields_offset(dim) + STATE_FIELDS.size + CHECKSUM.size


def has_model_bits(fields):
    """Whether a state of these scalar fields (or none) has a model of 2**bits
    features for some bits 1 to 24, as `model_bits` needs."""
    dim = fields["dim"] if fields else 0
    return dim & (dim - 1) == 0 and 2 <= dim <= 1 << 24


def _read(text, offset, layout):
    return layout.unpack(bytes.fromhex(text[2 * offset : 2 * (offset + layout.size)]))


def scalar_fields(text):
    """Every field but the sums and the records, by the snapshot's names;
    `records` is the number of pending records. The model's sums in the
    middle are skipped unread."""
    magic, version = _read(text, 0, PREAMBLE)
    if magic != MAGIC:
        raise ValueError("not a sorvane state (bad magic)")
    if version != FORMAT_VERSION:
        raise ValueError(f"unsupported state format version {version}")
    dim, ridge, forgetting, scale = _read(text, MODEL_OFFSET, MODEL_FIELDS)
    decision_count, model_version, horizon, default_reward, epsilon, records = _read(
        text, state_fields_offset(dim), STATE_FIELDS
    )
    return {
        "dim": dim,
        "ridge": ridge,
        "forgetting": forgetting,
        "scale": scale,
        "decision_count": decision_count,
        "model_version": model_version,
        "horizon": horizon,
        "default_reward": default_reward,
        "epsilon": epsilon,
        "records": records,
    }


def state_fields(text):
    """dim, forgetfulness, decision_count, model_version, horizon,
    default_reward, epsilon and the number of pending records, named as
    `create` and the log's readers name them."""
    fields = scalar_fields(text)
    return {
        "dim": fields["dim"],
        "forgetfulness": fields["forgetting"],
        "decision_count": fields["decision_count"],
        "model_version": fields["model_version"],
        "horizon": fields["horizon"],
        "default_reward": fields["default_reward"],
        "epsilon": fields["epsilon"],
        "pending": fields["records"],
    }


def _fnv1a64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def reconfigured(text, epsilon, forgetfulness, default_reward):
    """The serialized state `text` with another epsilon, forgetfulness and
    default reward, its model, counters and pending records kept: the state
    a host would have if it had run with those settings all along on the
    same model. The checksum is made anew."""
    data = bytearray(bytes.fromhex(text))
    dim = MODEL_FIELDS.unpack_from(data, MODEL_OFFSET)[0]
    struct.pack_into("<d", data, MODEL_OFFSET + 16, forgetfulness)
    at = state_fields_offset(dim)
    decision_count, model_version, horizon, _, _, records = STATE_FIELDS.unpack_from(data, at)
    STATE_FIELDS.pack_into(data, at, decision_count, model_version, horizon, default_reward, epsilon, records)
    end = len(data) - CHECKSUM.size
    CHECKSUM.pack_into(data, end, _fnv1a64(data[:end]))
    return data.hex()
