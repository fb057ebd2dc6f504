"""Writing the files a command makes, with every failure as one clear line."""
import os

from sorvane_cli.status import OutputError, UsageError


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
    if os.path.isdir(path):
        raise OutputError(f"cannot write {flag} {path}: it is a directory")
    if not os.path.isdir(folder):
        raise OutputError(f"cannot write {flag} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"cannot write {flag} {path}: the folder {folder} is not writable")


def write_text(path, text, flag):
    """Writes `text` to `path` through a temporary file beside it, so a
    failure leaves no half-written file under the name."""
    tmp = path + ".tmp"
    try:
        with open(tmp, "w", encoding="ascii") as f:
            f.write(text)
        os.replace(tmp, path)
    except OSError as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise OutputError(f"cannot write {flag} {path}: {exc.strerror or exc}") from None
