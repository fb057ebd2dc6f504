"""The log replayed by the toolkit's extension module, where it applies.

The extension (`_native`) reads each line with a JSON parser made for speed
and drives the engine itself, with no Python object made per line. It
proves only logs that replay without a single problem: at the first line it
cannot read exactly as `logread` reads it, or that the engine does not
reproduce, it declines, and the Python replay, the reference, replays the
log from the start and says what is wrong. A replay that used the native
path therefore reports exactly what the Python one would: no problem.

`replay_natively` is the one entry point: a log and its configuration in,
a finished replayer out (the surface of `replay.Replayer` that the commands
read), or None when the native path does not apply.
"""
import sorvane

from .findings import Findings

try:
    from . import _native
except ImportError:  # pragma: no cover - the wheel always carries it
    _native = None

_CHUNK = 1 << 20


class NativeReplayer:
    """A log the native path proved: its counts and the state it rebuilt."""

    steer = False
    steered = 0

    def __init__(self, replay, keep):
        self.findings = Findings(keep)
        self.lines, self.decisions, self.resolutions, self.pending = replay.counts()
        # The state's text is written only when asked for: verify never does.
        self._replay = replay
        self._state = None

    @property
    def state(self):
        """The rebuilt state as a `BanditState`, or None when no line made one."""
        if self._state is None:
            text = self.state_text()
            self._state = None if text is None else sorvane.deserialize(text)
        return self._state

    def state_text(self):
        """The rebuilt state's serialize text, or None when no line made one."""
        return self._replay.state_text()

    def summary(self):
        return {
            "lines": self.lines,
            "decisions": self.decisions,
            "resolutions": self.resolutions,
            "pending": self.pending,
            "steered": 0,
        }


def available():
    return _native is not None


def start(config):
    """A native replay of a log under `config` (a replay.LogConfig)."""
    return _native.LogReplay(config.horizon, config.default_reward, config.epsilon, config.forgetfulness,
                             config.state_text)


def replay_chunks(config, chunks, keep=10, progress=None):
    """The finished replayer of the log whose bytes `chunks` yields, or None
    when the native path declines it (the caller then replays it in Python
    from the start). `progress`, when given, is called with the bytes fed."""
    if _native is None:
        return None
    replay = start(config)
    done = 0
    for chunk in chunks:
        if not replay.feed(chunk):
            return None
        done += len(chunk)
        if progress is not None:
            progress(done)
    replay.finish()
    if replay.declined() is not None:
        return None
    return NativeReplayer(replay, keep)


def file_chunks(f):
    while True:
        chunk = f.read(_CHUNK)
        if not chunk:
            return
        yield chunk


def replay_natively(path, config, keep=10, progress=None):
    """The finished replayer of the log at `path`, or None (see replay_chunks)."""
    if _native is None:
        return None
    from .logread import open_log

    with progress("replaying") as bar:
        with open_log(path) as f:
            return replay_chunks(config, file_chunks(f), keep, bar.update)
