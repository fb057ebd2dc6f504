"""The `sorvane` command: the parser of every command in the table, and each
kind of failure mapped to its exit status."""
import argparse
import importlib
import os
import sys
from collections.abc import Sequence
from typing import IO

from sorvane_cli.commands import COMMANDS
from sorvane_cli.status import Exit, JobFailed, LogError, OutputError, UsageError, table


def _version() -> str:
    try:
        from importlib.metadata import version
        return version("sorvane")
    except Exception:  # not installed as a distribution: run from a source tree
        return "unknown (not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="sorvane", description="Offline tools for the sorvane experience log.",
                                     epilog=table(), formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"sorvane {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for command in COMMANDS:
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


def main(argv: Sequence[str] | None = None, stdout: IO[str] | None = None) -> int:
    """Runs `sorvane` with `argv` (the command line's by default); returns the exit status."""
    args = build_parser().parse_args(argv)
    stdout = stdout if stdout is not None else sys.stdout
    name = f"sorvane {args.command}"
    try:
        return int(args.run(args, stdout))
    except (UsageError, LogError) as exc:
        print(f"{name}: error: {exc}", file=sys.stderr)
        return Exit.USAGE
    except OutputError as exc:
        print(f"{name}: error: {exc}", file=sys.stderr)
        return Exit.OUTPUT
    except JobFailed as exc:
        print(f"{name}: error: {exc}; no result is reported", file=sys.stderr)
        return Exit.JOB_FAILED
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): nothing more to say to it.
        if stdout is sys.stdout:
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


if __name__ == "__main__":
    sys.exit(main())
