"""A progress bar on standard error, drawn only on a terminal."""
import sys
import time

_WIDTH = 30
_INTERVAL = 0.1


class Progress:
    """Shows how much of a file of `total` bytes has been read.

    Silent unless `enabled`; use as a context manager so the bar is wiped
    when the work ends, however it ends.
    """

    def __init__(self, label, total, enabled, stream=None):
        self.label = label
        self.total = max(total, 1)
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self._start = time.monotonic()
        self._last = 0.0

    def update(self, done):
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._last < _INTERVAL and done < self.total:
            return
        self._last = now
        share = min(done / self.total, 1.0)
        filled = int(share * _WIDTH)
        elapsed = now - self._start
        self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (_WIDTH - filled)}] {share:4.0%} {elapsed:5.1f}s")
        self.stream.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.enabled and self._last:
            self.stream.write("\r" + " " * (len(self.label) + _WIDTH + 16) + "\r")
            self.stream.flush()
        return False


def wants_progress(quiet, stream=None):
    stream = stream if stream is not None else sys.stderr
    if quiet:
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
