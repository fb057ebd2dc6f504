import os
import struct

import pytest

# Set by CI when the module under test is the sanitizer build: memory-growth
# checks mean nothing there and long loops are slow.
SANITIZED = bool(os.environ.get("SORVANE_SANITIZED"))

skip_when_sanitized = pytest.mark.skipif(SANITIZED, reason="memory growth is not meaningful under ASan")


def rss_kib():
    """The process's resident set size now, in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def snapshot_fields(text):
    """The scalar fields of a serialized state, by name."""
    data = bytes.fromhex(text)
    dim, ridge, forgetting, scale = struct.unpack_from("<Q3d", data, 16)
    tail = 48 + 16 * dim
    decision_count, model_version, horizon, default_reward, epsilon, records = struct.unpack_from(
        "<QQdddQ", data, tail
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
