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


@pytest.fixture
def cli(capsys, monkeypatch):
    """Runs `sorvane` in this process: cli("verify", path, *flags) gives
    (exit status, standard output, standard error); `stdin` is bytes the
    command reads as its standard input. No run may end in a traceback."""
    import io
    import sys

    from sorvane_cli.__main__ import main

    def run(*argv, stdin=None):
        if stdin is not None:
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(io.BytesIO(stdin))))
        status = main([str(a) for a in argv])
        out, err = capsys.readouterr()
        assert "Traceback" not in out + err
        return status, out, err
    return run
