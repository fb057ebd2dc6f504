"""The flags several commands share, and the argparse types of their values."""
import argparse
from collections.abc import Callable

from sorvane_cli.log.source import MAX_LINE_BYTES

LOG_HELP = ("the experience log: JSON lines written with log_line, optionally after a header line "
            "(sorvane_cli.header_line); '-' reads standard input; gzip, bzip2 and xz logs are read as they are")
CONFIG_HELP = """configuration: the log's header line gives it, where the log has one. Otherwise the log's
lines fix bits, the default reward (expired resolutions carry it) and epsilon (the built-in
rule's propensities give it exactly); pass --horizon and --forgetfulness, which nothing in
the log shows. A flag that contradicts the log is refused (exit 2)."""


def at_least(minimum: int) -> Callable[[str], int]:
    """An argparse type: a whole number no smaller than `minimum`."""
    def whole_number(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a whole number, not {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {minimum} or more, not {value}")
        return value
    return whole_number


non_negative = at_least(0)
positive = at_least(1)
at_least_two = at_least(2)


def add_config_flags(parser: argparse.ArgumentParser, horizon_help: str) -> None:
    """LOG and the flags that give the configuration the log was written with."""
    parser.add_argument("log", metavar="LOG", help=LOG_HELP)
    parser.add_argument("--horizon", type=float, metavar="H", help=horizon_help)
    parser.add_argument("--default-reward", type=float, metavar="R",
                        help="the state's default reward (the log's expired resolutions give it; else 0.0)")
    parser.add_argument("--epsilon", type=float, metavar="E",
                        help="the state's epsilon (the log's propensities give it; else 0.05)")
    parser.add_argument("--forgetfulness", type=float, metavar="F", help="the state's forgetfulness (0.999)")
    parser.add_argument("--from-state", metavar="FILE",
                        help="a serialized state the log continues from, instead of a new one; "
                             "it carries the configuration")
    parser.add_argument("--from-model", metavar="FILE",
                        help="a joint model's serialize text saved with the state of --from-state, for a log "
                             "whose header declares a joint model")
    parser.add_argument("--max-line-bytes", type=positive, default=MAX_LINE_BYTES, metavar="N",
                        help=f"longer lines are refused unread, as a problem of their line ({MAX_LINE_BYTES:,})")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")


def add_show_flag(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--show", type=non_negative, default=10, metavar="N", help="problems shown in full (10)")


def positive_number(text: str) -> float:
    """An argparse type: a finite number above 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, not {text!r}") from None
    if not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def add_evaluation_flags(parser: argparse.ArgumentParser, methods: tuple[str, ...], method_help: str) -> None:
    """--method, --replays, --accept-scale, --bootstrap and --seed: how eval and sweep estimate."""
    parser.add_argument("--method", choices=methods, default="longrun", help=method_help)
    parser.add_argument("--replays", type=at_least_two, default=None, metavar="R",
                        help="long-run replay and rejection sampling: replays side by side, each with its own "
                             "draws (3 for longrun, 5 for rejection)")
    parser.add_argument("--accept-scale", type=positive_number, default=None, metavar="C",
                        help="longrun: a decision is accepted with probability min(1, C x target_prob / "
                             "logged_propensity); a larger C makes longer runs whose targets learn more from the "
                             "logging state's choices than from their own (0.3)")
    parser.add_argument("--bootstrap", type=non_negative, default=1000, metavar="B",
                        help="bootstrap resamples (1000; 0 for none)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the bootstrap and of the acceptance draws (0)")


def add_executor_flags(parser: argparse.ArgumentParser) -> None:
    """--workers and --cluster, the flags that say where the jobs run."""
    parser.add_argument("--workers", type=positive, metavar="N",
                        help="local worker processes (default: the usable CPUs; 1 runs every job in this process); "
                             "the long-run replay's threads")
    parser.add_argument("--cluster", metavar="ADDRESS",
                        help="run the jobs on the Dask scheduler at ADDRESS (tcp://host:8786) instead; needs "
                             "sorvane[cluster] here and on the workers, and the files at the same paths there. A "
                             "scheduler not reached within 10 s ends the command (exit 6)")
