"""The log a command reads, opened: standard input spooled where the command
reads it twice, the log's head read, the configuration settled from flags,
header and log, and the progress bar of every pass."""
import contextlib
import shutil
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any

from sorvane_cli.log.config import LogConfig, load_config
from sorvane_cli.log.head import Head, read_head
from sorvane_cli.log.source import LogSource
from sorvane_cli.report.progress import Progress, wants_progress


class OpenedLog:
    """What every command starts from: `path` reads the log again (a spool
    file for standard input), `source` is the log open at its start."""

    def __init__(self, path: str, source: LogSource, head: Head | None, config: LogConfig, quiet: bool) -> None:
        self.path = path
        self.source = source
        self.head = head
        self.config = config
        self._enabled = wants_progress(quiet)
        self._total = source.size()

    def progress(self, label: str) -> Progress:
        """The progress bar of one pass over the log."""
        return Progress(label, self._total, self._enabled)


def _spooled(stream: IO[bytes]) -> Any:
    """Standard input copied to a temporary file, for commands that may
    read the log twice (verify and replay replay it again to steer the
    host's own choices)."""
    spool = tempfile.NamedTemporaryFile(prefix="sorvane-stdin-", suffix=".log")
    shutil.copyfileobj(stream, spool, 1 << 20)
    spool.flush()
    return spool


@contextlib.contextmanager
def opened(args: Any, need_horizon: bool = False, spool: bool = True) -> Iterator[OpenedLog]:
    """The log of `args` opened; `spool` copies standard input to a file first."""
    path, spooled = args.log, None
    if path == "-" and spool:
        spooled = _spooled(sys.stdin.buffer)
        path = spooled.name
    try:
        source = LogSource(path, args.max_line_bytes)
        with source:
            head = read_head(source)
            config = load_config(args.horizon, args.default_reward, args.epsilon, args.forgetfulness,
                                 args.from_state, need_horizon=need_horizon, head=head)
            yield OpenedLog(path, source, head, config, args.quiet)
    finally:
        if spooled is not None:
            spooled.close()
