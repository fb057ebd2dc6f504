import os

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
