"""Where the log's bytes come from: a file or standard input ('-'), plain or
compressed with gzip, bzip2 or xz (told by the first bytes, not the name),
cut into lines no longer than a bound.

A line longer than the bound is never held whole: its first bytes are read
and the rest is skipped in chunks, and the line comes back as TOO_LONG. The
bound is far above any line `log_line` writes for a real decision, and it
keeps a damaged or hostile log from taking the machine's memory.
"""
import bz2
import gzip
import io
import lzma
import os
import sys

from sorvane_cli.status import LogError

# 64 MiB: a decision over 10,000 candidates of 100 features each is about 20 MiB.
MAX_LINE_BYTES = 64 << 20
_SKIP_CHUNK = 1 << 20

# Magic bytes -> the opener that reads through the compression.
_COMPRESSED = (
    (b"\x1f\x8b", "gzip", lambda f: gzip.GzipFile(fileobj=f, mode="rb")),
    (b"BZh", "bzip2", lambda f: bz2.BZ2File(f, mode="rb")),
    (b"\xfd7zXZ\x00", "xz", lambda f: lzma.LZMAFile(f, mode="rb")),
)

# Stands for a line that was longer than the bound.
TOO_LONG = object()

# Pieces at least this long have their line ends counted by numpy, several
# times faster than bytes.count, when a command has loaded it already (its
# import would cost a short pass more than it saves).
_NUMPY_COUNT_BYTES = 1 << 16


def newlines(data):
    """The number of line ends in `data`."""
    numpy = sys.modules.get("numpy") if len(data) >= _NUMPY_COUNT_BYTES else None
    if numpy is not None:
        return int(numpy.count_nonzero(numpy.frombuffer(data, numpy.uint8) == ord("\n")))
    return data.count(b"\n")


# The names messages give files that stand in for what the user gave: the
# temporary copy of standard input is "-" to them, however often it is read.
_SHOWN_AS: dict[str, str] = {}


def shown_as(path, name):
    """Messages about `path` name it `name` from now on (None: its own name again)."""
    if name is None:
        _SHOWN_AS.pop(path, None)
    else:
        _SHOWN_AS[path] = name


def open_state(path):
    """A saved state's file opened for reading bytes, through gzip, bzip2 or
    xz as a log is (told by its first bytes); OSError when it cannot be."""
    raw = open(path, "rb")
    try:
        head = raw.peek(6)[:6]
        for magic, _, opener in _COMPRESSED:
            if head.startswith(magic):
                return opener(raw)
    except BaseException:
        raw.close()
        raise
    return raw


def compressed(f):
    """Whether a file open_state gave reads through a compression."""
    return not isinstance(f, io.BufferedReader)


def read_state_text(path):
    """The serialize text a saved state's file holds (compressed or not);
    OSError when it cannot be read, damaged compression included."""
    with open_state(path) as f:
        try:
            data = f.read()
        except (EOFError, lzma.LZMAError) as exc:
            raise OSError(f"its compressed data is damaged ({exc})") from None
    return data.decode("ascii", errors="replace").strip()


def standard_input():
    """Standard input's bytes; a LogError when the command was started with it closed."""
    stream = getattr(sys.stdin, "buffer", None)
    if stream is None:
        raise LogError("cannot read -: standard input is closed")
    return stream


def shown_name(path):
    """The name messages give `path`."""
    return _SHOWN_AS.get(path, path)


class LogSource:
    """One log opened for reading, line by line.

    `peek(count)` reads up to `count` lines ahead and keeps them, so that a
    look at the log's head (its configuration) costs no second read: the
    lines come back again, first, from `lines()`. That is also what lets
    standard input be looked at before it is read.
    """

    def __init__(self, path, max_line_bytes=None):
        self.path = path
        # What messages call the log.
        self.name = shown_name(path)
        self.max_line_bytes = MAX_LINE_BYTES if max_line_bytes is None else max_line_bytes
        self.compression = None
        self._ahead = []
        self._lineno = 0
        self._raw = self._open_raw(path)
        try:
            self._file = self._uncompressed(self._raw)
        except BaseException:
            self._close_raw()
            raise

    def _open_raw(self, path):
        if path == "-":
            return standard_input()
        if os.path.isdir(path):
            raise LogError(f"cannot read {self.name}: it is a directory")
        try:
            return open(path, "rb")
        except OSError as exc:
            raise LogError(f"cannot read {self.name}: {exc.strerror or exc}") from None

    def _uncompressed(self, raw):
        try:
            head = raw.peek(6)[:6] if hasattr(raw, "peek") else b""
        except OSError as exc:
            raise LogError(f"cannot read {self.name}: {exc.strerror or exc}") from None
        for magic, name, opener in _COMPRESSED:
            if head.startswith(magic):
                self.compression = name
                return opener(raw)
        return raw

    def size(self):
        """The bytes `position` counts up to, or 0 when unknown (a pipe)."""
        try:
            return os.fstat(self._raw.fileno()).st_size if self.path != "-" else 0
        except (OSError, ValueError):
            return 0

    def position(self):
        """Bytes of the file (compressed, if it is) read so far."""
        try:
            return self._raw.tell()
        except (OSError, ValueError):
            return 0

    def _read_line(self):
        """The next line as bytes, TOO_LONG, or b"" at the end."""
        limit = self.max_line_bytes
        line = self._file.readline(limit + 1)
        if len(line) <= limit or line.endswith(b"\n"):
            return line
        while True:
            rest = self._file.readline(_SKIP_CHUNK)
            if not rest or rest.endswith(b"\n"):
                return TOO_LONG

    def _failure(self, exc):
        what = f"the {self.compression} data is damaged" if self.compression else "a read failed"
        return LogError(f"cannot read {self.name} past line {self._lineno}: {what} "
                        f"({getattr(exc, 'strerror', None) or exc})")

    def _next(self):
        try:
            return self._read_line()
        except (OSError, EOFError, lzma.LZMAError) as exc:
            raise self._failure(exc) from None

    def chunks(self, size=1 << 20):
        """The log's bytes from where lines() would start, unsplit: the lines
        read ahead, joined in pieces of about `size` bytes (TOO_LONG alone
        for one that was too long), then the rest in pieces of `size` bytes.
        The line bound is the reader's to keep."""
        ahead, self._ahead = self._ahead, []
        joined, held = [], 0
        for _, line in ahead:
            if line is TOO_LONG:
                if joined:
                    yield b"".join(joined)
                    joined, held = [], 0
                yield line
                continue
            joined.append(line)
            held += len(line)
            if held >= size:
                yield b"".join(joined)
                joined, held = [], 0
        if joined:
            yield b"".join(joined)
        last = b""
        while True:
            try:
                data = self._file.read(size)
            except (OSError, EOFError, lzma.LZMAError) as exc:
                raise self._chunk_failure(exc) from None
            if not data:
                # A last line without its line end is a line, as lines() counts it.
                if last and not last.endswith(b"\n"):
                    self._lineno += 1
                return
            # Counted as lines() counts, so a failure names the same line.
            self._lineno += newlines(data)
            last = data
            yield data

    def _chunk_failure(self, exc):
        """The failure of a read in chunks, naming the line lines() would
        name: a piece lost with the failed read holds lines lines() reads
        before it fails, so the log is read again, line by line, to there."""
        if self.path != "-":
            try:
                with LogSource(self.path, self.max_line_bytes) as again:
                    for _ in again.lines():
                        pass
            except LogError as failure:
                return failure
        return self._failure(exc)

    def peek(self, count, max_bytes):
        """The lines read ahead, [(lineno, line)]: up to `count` of them, and
        none past the one that brings their bytes to `max_bytes`."""
        held = sum(len(line) for _, line in self._ahead if line is not TOO_LONG)
        while len(self._ahead) < count and held < max_bytes:
            line = self._next()
            if line == b"":
                break
            self._lineno += 1
            self._ahead.append((self._lineno, line))
            if line is not TOO_LONG:
                held += len(line)
        return self._ahead

    def skip_to(self, offset, lineno):
        """Reading goes on at byte `offset` of the log (uncompressed), as the
        line after `lineno`: where a line of it starts."""
        self._ahead = []
        try:
            self._file.seek(offset)
        except (OSError, EOFError, lzma.LZMAError, ValueError) as exc:
            raise LogError(f"cannot read {self.name} from byte {offset}: {exc}") from None
        self._lineno = lineno

    def line_count(self):
        """Lines read so far, those peeked ahead included; after the last
        of lines() or chunks(), the log's lines."""
        return self._lineno

    def offset(self):
        """Bytes of the log (uncompressed) read so far, lines peeked ahead
        included."""
        return self._file.tell()

    def lines(self):
        """(lineno, line) for every line, the peeked ones first."""
        ahead, self._ahead = self._ahead, []
        yield from ahead
        next_line = self._next
        lineno = self._lineno
        while True:
            line = next_line()
            if line == b"":
                break
            lineno += 1
            self._lineno = lineno
            yield lineno, line

    def _close_raw(self):
        if self.path != "-":
            self._raw.close()

    def close(self):
        if self._file is not self._raw:
            self._file.close()
        self._close_raw()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
