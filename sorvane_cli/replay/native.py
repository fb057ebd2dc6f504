"""The log replayed by the toolkit's extension module, where it applies.

The extension (`_native`) reads each line with a JSON parser made for speed
and drives the engine itself, with no Python object made per line. Lines
are read and their candidates hashed ahead, on `jobs.threads` threads, while the
calling thread replays them in the log's order; the result does not depend
on the number. It
proves only logs that replay without a single problem: at the first line it
cannot read exactly as `log.lines` reads it, or that the engine does not
reproduce, it declines, and the Python replay, the reference, replays the
log from the start and says what is wrong. A replay that used the native
path therefore reports exactly what the Python one would: no problem.

`replay_natively` is the one entry point: a log and its configuration in,
a finished replayer out (the surface of `replayer.Replayer` that the commands
read), or None when the native path does not apply. A log on standard input
is left to the Python replay, which can read it only once.
"""
import sorvane

from sorvane_cli import jobs
from sorvane_cli.log.header import HeaderLine
from sorvane_cli.log.lines import BadLine, event_of
from sorvane_cli.log.source import TOO_LONG, LogSource
from sorvane_cli.report.findings import Finding, Findings

try:
    import sorvane_cli._native as _native
except ImportError:  # pragma: no cover - the wheel always carries it
    _native = None  # type: ignore[assignment]

# The log is handed over in pieces of this many bytes.
_CHUNK = 1 << 20

class NativeReplayer:
    """A log the native path proved: its counts and the state it rebuilt."""

    steer = False
    steered = 0
    first_cause = None

    def __init__(self, replay, config, keep):
        self.config = config
        self.findings = Findings(keep)
        self.lines, self.decisions, self.resolutions, self.pending, bits = replay.counts()
        self.bits = bits or None
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

    def model_text(self):
        """The replayed joint model's serialize text, or None for the built-in model."""
        return self._replay.model_text()

    def configuration(self):
        """The configuration replayed with, each value with where it came from."""
        return self.config.described(self.bits)

    def summary(self):
        return replay_summary(self, steered=0)


def replay_summary(replay, steered):
    """The counts a finished replay reports, whichever path made it."""
    return {"lines": replay.lines, "decisions": replay.decisions, "resolutions": replay.resolutions,
            "pending": replay.pending, "steered": steered}


def available():
    return _native is not None


def start(config):
    """A native replay of a log under `config` (a config.LogConfig)."""
    return _native.LogReplay(config.horizon, config.default_reward, config.epsilon, config.forgetfulness,
                             config.state_text, threads=jobs.threads, model_text=config.initial_model_text())


def rereadable(source):
    """Whether the log can be read again from the start, should the native
    path decline it (standard input cannot)."""
    path = source.path if isinstance(source, LogSource) else source
    return path != "-"


def _cut_short(last, lines):
    """The BadLine of an incomplete final line at the end of `last` (the
    log's end), the log's `lines` complete lines before it, or None."""
    if last.endswith(b"\n"):
        return None
    rest = last[last.rfind(b"\n") + 1:]
    if not rest.strip():
        return None
    event = event_of(lines + 1, rest)
    return event if type(event) is BadLine and event.kind == "incomplete" else None


def feed_log(native, log, progress=None, cut=None):
    """Hands the whole of `log` (a LogSource) to `native` (a LogReplay or
    LogEvaluation), a valid header line as a line to count only, under the
    log's line bound. False as soon as it declines. With `cut` (a list), a
    last line the writer left incomplete is not handed over but appended
    to it, as the BadLine the Python reader makes of it."""
    native.set_line_limit(log.max_line_bytes)
    with log:
        first = log.peek(1, log.max_line_bytes)
        header = bool(first) and first[0][1] is not TOO_LONG and type(event_of(1, first[0][1])) is HeaderLine
        # Pieces are held back from the last line end on, so the last line
        # is known as the last: when the writer left it incomplete, no part
        # of it is handed over. The first held piece holds the line end; a
        # line that runs on past the line bound is handed over as it comes
        # (the pass judges such a line), and `begun` says so.
        held, running, begun = [], 0, False
        for k, chunk in enumerate(log.chunks(_CHUNK)):
            if chunk is TOO_LONG:
                return False
            if progress is not None:
                progress(log.position())
            if k == 0 and header:
                # The header line is counted, not read: it starts the first piece.
                native.skip_line()
                chunk = chunk[len(first[0][1]):]
                if not chunk:
                    continue
            end = chunk.rfind(b"\n") + 1
            running = len(chunk) - end if end else running + len(chunk)
            if held and (end or running > log.max_line_bytes):
                if not all(native.feed(piece) for piece in held):
                    return False
                held, begun = [], not end
            held.append(chunk)
        if held and not begun and cut is not None:
            opening = held[0]
            end = opening.rfind(b"\n") + 1
            # The log counted its lines as it went, the incomplete last one among them.
            bad = _cut_short(opening[end:] + b"".join(held[1:]), log.line_count() - 1)
            if bad is not None:
                cut.append(bad)
                held = [opening[:end]]
        if not all(native.feed(piece) for piece in held if piece):
            return False
    native.finish()
    return native.declined() is None


def replay_natively(source, config, keep=10, progress=None, max_line_bytes=None):
    """The finished replayer of the log (a path or a LogSource), or None when
    the native path does not apply or declines the log; a LogSource given
    is then read up, and the caller reads the log again from its path."""
    if _native is None or not rereadable(source):
        return None
    log = source if isinstance(source, LogSource) else LogSource(source, max_line_bytes)
    replay = start(config)
    cut = []
    if progress is None:
        proved = feed_log(replay, log, cut=cut)
    else:
        with progress("replaying") as bar:
            proved = feed_log(replay, log, bar.update, cut)
    if not proved:
        return None
    replayer = NativeReplayer(replay, config, keep)
    for bad in cut:
        # Counted and reported as the Python replay does.
        replayer.lines += 1
        replayer.findings.add(Finding(bad.lineno, bad.kind, bad.message))
    return replayer
