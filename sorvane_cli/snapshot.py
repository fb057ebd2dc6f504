"""The scalar fields of a serialized state, read straight from its hex text.

Only called on text that `sorvane.deserialize` has accepted, so the layout
is known to be sound; the model arrays in the middle are skipped unread.
"""
import struct


def _read(text, offset, fmt):
    size = struct.calcsize(fmt)
    return struct.unpack(fmt, bytes.fromhex(text[2 * offset : 2 * (offset + size)]))


def state_fields(text):
    """dim, forgetting, decision_count, model_version, horizon,
    default_reward, epsilon and the number of pending records."""
    dim, _ridge, forgetting = _read(text, 16, "<Qdd")
    tail = 48 + 16 * dim
    decision_count, model_version, horizon, default_reward, epsilon, pending = _read(text, tail, "<QQdddQ")
    return {
        "dim": dim,
        "forgetfulness": forgetting,
        "decision_count": decision_count,
        "model_version": model_version,
        "horizon": horizon,
        "default_reward": default_reward,
        "epsilon": epsilon,
        "pending": pending,
    }
