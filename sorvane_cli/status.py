"""The exit statuses of every `sorvane` command, one table for all of them,
and the kinds of failure a command ends with."""
import enum


class Exit(enum.IntEnum):
    """What a command's exit status means; `sorvane --help` prints this table."""

    OK = 0
    PROBLEMS = 1
    USAGE = 2
    HOST_POLICY = 3
    OUTPUT = 4
    MEMORY = 5
    JOB_FAILED = 6
    INTERRUPTED = 130


MEANINGS = {
    Exit.OK: "done: the log verifies, the state is written, the estimates are printed",
    Exit.PROBLEMS: "the log has problems (each is listed); nothing is written unless --force",
    Exit.USAGE: "usage error: a bad flag, a flag the log contradicts, an unreadable log",
    Exit.HOST_POLICY: "verify only: the sole problems are decisions the host made with its own score/explore",
    Exit.OUTPUT: "an output file (-o, --plot) cannot be written",
    Exit.MEMORY: "out of memory",
    Exit.JOB_FAILED: "sweep and verify --checkpoints: a job failed (its worker killed, the cluster lost)",
    Exit.INTERRUPTED: "interrupted (Ctrl-C)",
}


def table():
    """The exit statuses as help text."""
    return "exit status:\n" + "\n".join(f"  {int(code):>3}  {MEANINGS[code]}" for code in Exit)


def replay_status(findings):
    """The status of verify and replay after a replay that found `findings`."""
    if not findings.counts:
        return Exit.OK
    return Exit.HOST_POLICY if findings.only_host_policy() else Exit.PROBLEMS


# The kinds of failure a command ends with; `main` maps each to its status.

class UsageError(Exception):
    """A command-line problem; the message is for the user as it stands."""


class LogError(Exception):
    """The log cannot be read at all (missing file, a directory...)."""


class OutputError(Exception):
    """An output file cannot be written; the message says which and why."""


class JobFailed(Exception):
    """A job did not finish; the message says which and why."""
