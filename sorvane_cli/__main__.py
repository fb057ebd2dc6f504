"""The `sorvane` command: verify, replay and evaluate an experience log."""
import argparse
import os
import shutil
import sys
import tempfile

from .config import UsageError, load_config
from .executor import JobFailed
from .infer import read_head
from .logsource import MAX_LINE_BYTES, LogError, LogSource
from .output_files import OutputError, check_output
from .progress import Progress, wants_progress
from .status import Exit, table

_LOG_HELP = ("the experience log: JSON lines written with log_line, optionally after a header line "
             "(sorvane_cli.header_line); '-' reads standard input; gzip, bzip2 and xz logs are read as they are")
_CONFIG_HELP = """configuration: the log's header line gives it, where the log has one. Otherwise the log's
lines fix bits, the default reward (expired resolutions carry it) and epsilon (the built-in
rule's propensities give it exactly); pass --horizon and --forgetfulness, which nothing in
the log shows. A flag that contradicts the log is refused (exit 2)."""

_EVAL_METHODS = """methods:
  longrun    (default) every logged decision gives a doubly robust term for the target as it
             stands, and the target learns only from the decisions it accepts, each with
             probability min(1, 0.3 x target_prob / logged_propensity): each estimate is the
             mean reward of a run as long as its run length, printed beside it (most of the
             log for targets near the logging one). A reward model fitted on the log in a
             first pass feeds the terms. --replays (3) runs side by side with their own draws.
  rejection  replays each target's own online run: the target decides over every
             logged context and the event is kept with probability
             target_prob / (M x logged_propensity), for the target's own bound M; only kept events
             reach the target's learning. Unbiased for targets that learn and explore
             differently, including epsilon 0. It measures the mean reward of a run as long
             as the kept events (their share is printed): a long log gives a long run.
             --replays runs side by side with their own draws; the interval is Student's t
             over their means, so it holds how one run's learning path varies.
  weighted   IPS, SNIPS and doubly robust: every target learns from every logged choice and
             is weighed by target_prob / logged_propensity. Tighter intervals, but a target
             inherits the logging state's exploration: right for targets that do not learn
             from their own choices (or learn like the logging one), biased otherwise.
  both       both tables."""


def _non_negative(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def _at_least_two(text):
    value = int(text)
    if value < 2:
        raise argparse.ArgumentTypeError(f"must be 2 or more, not {value}")
    return value


def _acceptance_scale(text):
    value = float(text)
    if not (0.0 < value < float("inf")):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _version():
    try:
        from importlib.metadata import version
        return version("sorvane")
    except Exception:  # not installed as a distribution: run from a source tree
        return "unknown (not installed)"


def _config_flags(p, horizon_help):
    p.add_argument("log", metavar="LOG", help=_LOG_HELP)
    p.add_argument("--horizon", type=float, metavar="H", help=horizon_help)
    p.add_argument("--default-reward", type=float, metavar="R",
                   help="the state's default reward (the log's expired resolutions give it; else 0.0)")
    p.add_argument("--epsilon", type=float, metavar="E",
                   help="the state's epsilon (the log's propensities give it; else 0.05)")
    p.add_argument("--forgetfulness", type=float, metavar="F", help="the state's forgetfulness (0.999)")
    p.add_argument("--from-state", metavar="FILE",
                   help="a serialized state the log continues from, instead of a new one; "
                        "it carries the configuration")
    p.add_argument("--max-line-bytes", type=_positive, default=MAX_LINE_BYTES, metavar="N",
                   help=f"longer lines are refused unread, as a problem of their line ({MAX_LINE_BYTES:,})")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar")


def build_parser():
    parser = argparse.ArgumentParser(prog="sorvane", description="Offline tools for the sorvane experience log.",
                                     epilog=table(), formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"sorvane {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    raw = argparse.RawDescriptionHelpFormatter

    v = sub.add_parser("verify", help="replay the log and prove every record and resolution",
                       description="Replay the log through a fresh state and check that every decision record "
                                   "comes out bit for bit and every resolution is consistent with its decision.",
                       epilog=_CONFIG_HELP + "\n\n" + table(), formatter_class=raw)
    _config_flags(v, "the state's horizon (plays no part in verifying)")
    v.add_argument("--json", action="store_true", help="the summary as JSON")
    v.add_argument("--show", type=_non_negative, default=10, metavar="N", help="problems shown in full (10)")

    r = sub.add_parser("replay", help="rebuild the state the log describes",
                       description="Rebuild the state the log describes (the model after every resolution, the "
                                   "pending decisions at the end) and write its serialize text.",
                       epilog=_CONFIG_HELP + "\n\n" + table(), formatter_class=raw)
    _config_flags(r, "the state's horizon (required unless the log's header gives it; "
                     "it is stored in the state written)")
    r.add_argument("-o", "--output", required=True, metavar="STATE", help="where to write the state ('-': stdout)")
    r.add_argument("--show", type=_non_negative, default=10, metavar="N", help="problems shown in full (10)")
    r.add_argument("--force", action="store_true",
                   help="write the state even when some lines cannot be replayed (they are skipped; "
                        "the exit status is still 1)")

    e = sub.add_parser("eval", help="off-policy evaluation of target configurations",
                       description="Estimate what target configurations would have earned on the logged "
                                   "traffic; the logging configuration is evaluated too, as the baseline.",
                       epilog=_EVAL_METHODS + "\n\n" + _CONFIG_HELP + "\n\n" + table(), formatter_class=raw)
    _config_flags(e, "the state's horizon (not needed to evaluate)")
    e.add_argument("--target", action="append", metavar="KEY=VALUE[,KEY=VALUE...]",
                   help="a target: epsilon, bits, forgetfulness, default_reward (the rest as logged) and an "
                        "optional name, comma-separated; repeat --target to compare several")
    e.add_argument("--method", choices=("longrun", "rejection", "weighted", "both"), default="longrun",
                   help="how targets are evaluated (longrun; see methods below)")
    e.add_argument("--replays", type=_at_least_two, default=None, metavar="R",
                   help="long-run replay and rejection sampling: replays side by side, each with its own draws "
                        "(3 for longrun, 5 for rejection)")
    e.add_argument("--accept-scale", type=_acceptance_scale, default=None, metavar="C",
                   help="longrun: a decision is accepted with probability min(1, C x target_prob / "
                        "logged_propensity); a larger C makes longer runs whose targets learn more from the "
                        "logging state's choices than from their own (0.3)")
    e.add_argument("--json", action="store_true", help="the estimates as JSON")
    e.add_argument("--show", type=_non_negative, default=10, metavar="N", help="problems shown in full (10)")
    e.add_argument("--plot", metavar="FILE.png", help="plot the running estimates (needs matplotlib)")
    e.add_argument("--bootstrap", type=_non_negative, default=1000, metavar="B",
                   help="bootstrap resamples (1000; 0 for none)")
    e.add_argument("--seed", type=int, default=0, help="seed of the bootstrap and of the acceptance draws (0)")

    # Work spread over processes or a cluster: sweep.py, checkpoints.py.
    from .checkpoints import add_checkpoint_flags
    from .sweep import add_parser as add_sweep_parser
    add_checkpoint_flags(v)
    add_sweep_parser(sub, _config_flags, _CONFIG_HELP + "\n\n" + table())
    return parser


def _spooled(stream):
    """Standard input copied to a temporary file, for commands that may
    read the log twice (verify and replay replay it again to steer the
    host's own choices)."""
    spool = tempfile.NamedTemporaryFile(prefix="sorvane-stdin-", suffix=".log")
    shutil.copyfileobj(stream, spool, 1 << 20)
    spool.flush()
    return spool


def _run(args, stdout):
    if args.command == "replay":
        check_output(args.output, "-o")
    if args.command == "eval" and args.plot:
        check_output(args.plot, "--plot", needs_matplotlib=True)
    path, spool = args.log, None
    # The long-run replay reads the log twice: once to fit its reward model.
    if path == "-" and (args.command != "eval" or args.method == "longrun"):
        spool = _spooled(sys.stdin.buffer)
        path = spool.name
    try:
        source = LogSource(path, args.max_line_bytes)
        with source:
            head = read_head(source)
            config = load_config(args.horizon, args.default_reward, args.epsilon, args.forgetfulness,
                                 args.from_state, need_horizon=args.command == "replay", head=head)
            enabled = wants_progress(args.quiet)
            total = source.size()
            progress = lambda label: Progress(label, total, enabled)  # noqa: E731
            if args.command == "sweep":
                from .sweep import run_sweep
                return run_sweep(args, config, progress, stdout, path=path, head=head)
            if args.command == "verify":
                from .checkpoints import check_flags, run_checkpoint_verify
                check_flags(args)
                if args.checkpoints is not None:
                    return run_checkpoint_verify(args, config, progress, stdout, path=path)
            if args.command == "verify":
                from .verify import run_verify
                return run_verify(args, config, progress, stdout, source=source)
            if args.command == "replay":
                from .rebuild import run_replay
                return run_replay(args, config, progress, stdout, source=source)
            from .evaluate import run_eval
            return run_eval(args, config, progress, stdout, source=source, head=head)
    finally:
        if spool is not None:
            spool.close()


def _silence_stdout():
    """Points standard output at /dev/null, so the interpreter's last flush
    on the way out does not fail again on the closed pipe."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def main(argv=None, stdout=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    stdout = stdout if stdout is not None else sys.stdout
    name = f"sorvane {args.command}"
    try:
        return int(_run(args, stdout))
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
