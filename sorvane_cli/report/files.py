"""Writing the files a command makes, with every failure as one clear line.

Only regular files are written: a symbolic link, a FIFO or a device under
the name is refused, never replaced. The text goes to a temporary file of a
unique name beside the output, created anew (never opened through a link),
and takes the output's name only once it is whole.
"""
import os
import stat
import tempfile

from sorvane_cli.status import OutputError, UsageError

_KINDS = (
    (stat.S_ISLNK, "a symbolic link"),
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a device"),
    (stat.S_ISBLK, "a device"),
    (stat.S_ISSOCK, "a socket"),
)


def _not_regular(path):
    """What `path` is when it exists and is not a regular file, else None."""
    try:
        mode = os.lstat(path).st_mode
    except OSError:
        return None
    for test, name in _KINDS:
        if test(mode):
            return name
    return None if stat.S_ISREG(mode) else "not a regular file"


def check_output(path, flag, needs_matplotlib=False):
    """Refuses, before any work, an output path that cannot be written."""
    if path == "-" and flag == "-o":
        return
    if needs_matplotlib:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError(f"{flag} needs matplotlib: pip install 'sorvane[plot]'") from None
    folder = os.path.dirname(os.path.abspath(path))
    kind = _not_regular(path)
    if kind is not None:
        raise OutputError(f"cannot write {flag} {path}: it is {kind}; only a regular file is written")
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise OutputError(f"cannot write {flag} {path}: {folder} is a file, not a folder")
    if not os.path.isdir(folder):
        raise OutputError(f"cannot write {flag} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"cannot write {flag} {path}: the folder {folder} is not writable")


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_text(path, text, flag):
    """Writes `text` to `path` through a temporary file beside it, so a
    failure leaves no half-written file under the name."""
    folder = os.path.dirname(os.path.abspath(path))
    tmp = None
    try:
        kind = _not_regular(path)
        if kind is not None:
            raise OutputError(f"cannot write {flag} {path}: it is {kind}; only a regular file is written")
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder)
        with os.fdopen(fd, "w", encoding="ascii") as f:
            # mkstemp makes the file private; the output gets the usual mode.
            os.fchmod(f.fileno(), 0o666 & ~_umask())
            f.write(text)
        kind = _not_regular(path)
        if kind is not None:
            raise OutputError(f"cannot write {flag} {path}: it is {kind}; only a regular file is written")
        os.replace(tmp, path)
        tmp = None
    except OSError as exc:
        raise OutputError(f"cannot write {flag} {path}: {exc.strerror or exc}") from None
    finally:
        if tmp is not None:
            try:
                os.unlink(tmp)
            except OSError:
                pass
