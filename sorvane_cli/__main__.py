"""The `sorvane` command: the parser of every command in the table, and each
kind of failure mapped to its exit status."""
import argparse
import importlib
import os
import signal
import sys
import threading
from collections.abc import Sequence
from typing import IO, Any

from sorvane_cli.commands import COMMANDS
from sorvane_cli.status import Exit, JobFailed, LogError, OutputError, Terminated, UsageError, table


def _version() -> str:
    try:
        from importlib.metadata import version
        return version("sorvane")
    except Exception:  # not installed as a distribution: run from a source tree
        return "unknown (not installed)"


class _Version(argparse.Action):
    """--version, which looks the version up only when asked for it."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        print(f"sorvane {_version()}")
        parser.exit()


def build_parser(only: str | None = None) -> argparse.ArgumentParser:
    """The parser of every command; with `only` (a command's name), that
    command's module alone is loaded, the others named by their summaries."""
    parser = argparse.ArgumentParser(prog="sorvane", description="Offline tools for the sorvane experience log.",
                                     epilog=table(), formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action=_Version)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for command in COMMANDS:
        if only is not None and command.name != only:
            sub.add_parser(command.name, help=command.summary)
            continue
        module = importlib.import_module(command.module)
        module.add_parser(sub, command).set_defaults(run=module.run)
    return parser


def _silence_stdout() -> None:
    """Points standard output at /dev/null, so the interpreter's last flush
    on the way out does not fail again on the closed pipe."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


class _StdoutFailed(OutputError):
    """Standard output took no more: full, or closed when the command started."""


class _Stdout:
    """Standard output as the commands write to it: a write that fails is
    the output's failure, said in one line, not the log's."""

    def __init__(self, stream: IO[str] | None) -> None:
        self._stream = stream

    def _failed(self, exc: OSError | None) -> _StdoutFailed:
        if exc is None:
            return _StdoutFailed("cannot write standard output: it is closed")
        return _StdoutFailed(f"cannot write standard output: {exc.strerror or exc}")

    def write(self, text: str) -> int:
        if self._stream is None:
            raise self._failed(None)
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise self._failed(exc) from None

    def flush(self) -> None:
        if self._stream is None:
            return
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise self._failed(exc) from None


def _terminate(signum: int, frame: object) -> None:
    raise Terminated


def _on_sigterm() -> Any:
    """SIGTERM ends the command as Ctrl-C does: what it started (worker
    processes, temporary files) is cleaned up on the way out. Returns the
    handler it replaced (None when it could not), for the way out."""
    if threading.current_thread() is threading.main_thread():
        try:
            return signal.signal(signal.SIGTERM, _terminate)
        except (ValueError, OSError):
            pass
    return None


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The command line parsed; a flag no command knows is the command's
    error, with its usage, not the top level's."""
    words = sys.argv[1:] if argv is None else list(argv)
    # The command's module alone is loaded when the command comes first (as it must).
    named = words[0] if words and any(words[0] == command.name for command in COMMANDS) else None
    parser = build_parser(named)
    args, unknown = parser.parse_known_args(words)
    if unknown:
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                action.choices[args.command].error(f"unrecognized arguments: {' '.join(unknown)}")
        parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    return args


def main(argv: Sequence[str] | None = None, stdout: IO[str] | None = None) -> int:
    """Runs `sorvane` with `argv` (the command line's by default); returns the exit status."""
    replaced = _on_sigterm()
    try:
        return _main(argv, stdout)
    finally:
        if replaced is not None:
            signal.signal(signal.SIGTERM, replaced)


def _main(argv: Sequence[str] | None, stdout: IO[str] | None) -> int:
    try:
        args = _parse(argv)
    except KeyboardInterrupt:
        # Interrupted while it started (the commands' modules load first).
        print("sorvane: interrupted", file=sys.stderr)
        return Exit.INTERRUPTED
    except Terminated:
        print("sorvane: terminated", file=sys.stderr)
        return Exit.TERMINATED
    own = stdout is None
    out = _Stdout(sys.stdout if own else stdout)
    name = f"sorvane {args.command}"
    try:
        status = int(args.run(args, out))
        # What is still buffered fails here, not in the interpreter's last flush.
        out.flush()
        return status
    except (UsageError, LogError) as exc:
        print(f"{name}: error: {exc}", file=sys.stderr)
        return Exit.USAGE
    except OutputError as exc:
        if isinstance(exc, _StdoutFailed) and own:
            _silence_stdout()
        print(f"{name}: error: {exc}", file=sys.stderr)
        return Exit.OUTPUT
    except JobFailed as exc:
        print(f"{name}: error: {exc}; no result is reported", file=sys.stderr)
        return Exit.JOB_FAILED
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): nothing more to say to it.
        if own:
            _silence_stdout()
        print(f"{name}: error: standard output was closed before the output was written", file=sys.stderr)
        return Exit.OUTPUT
    except MemoryError:
        print(f"{name}: error: out of memory (a smaller --max-line-bytes bounds what one line may take)",
              file=sys.stderr)
        return Exit.MEMORY
    except KeyboardInterrupt:
        print(f"{name}: interrupted", file=sys.stderr)
        return Exit.INTERRUPTED
    except Terminated:
        print(f"{name}: terminated", file=sys.stderr)
        return Exit.TERMINATED


if __name__ == "__main__":
    sys.exit(main())
