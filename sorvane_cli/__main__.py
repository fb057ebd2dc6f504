"""The `sorvane` command: verify, replay and evaluate an experience log."""
import argparse
import os
import sys

from .executor import JOB_FAILED, JobFailed
from .logread import LogError
from .progress import Progress, wants_progress
from .replay import UsageError, load_config

_EPILOG_VERIFY = """exit status: 0 when every line is reproduced, 1 when problems were found,
3 when the only ones are decisions the host made with its own score/explore,
2 on a usage error, 4 when a job of --checkpoints fails (a worker killed, the cluster lost)"""


def _config_flags(p, need_horizon):
    p.add_argument("log", metavar="LOG", help="the experience log (JSON lines written with log_line)")
    p.add_argument("--horizon", type=float, metavar="H",
                   help="the state's horizon" + ("" if need_horizon else " (not needed to evaluate)"))
    p.add_argument("--default-reward", type=float, metavar="R", help="the state's default reward (0.0)")
    p.add_argument("--epsilon", type=float, metavar="E", help="the state's epsilon (0.05)")
    p.add_argument("--forgetfulness", type=float, metavar="F", help="the state's forgetfulness (0.999)")
    p.add_argument("--from-state", metavar="FILE",
                   help="a serialized state the log continues from, instead of a new one; "
                        "it carries the configuration")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar")


def build_parser():
    parser = argparse.ArgumentParser(prog="sorvane", description="Offline tools for the sorvane experience log.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    v = sub.add_parser("verify", help="replay the log and prove every record and resolution",
                       description="Replay the log through a fresh state and check that every decision record "
                                   "comes out bit for bit and every resolution is consistent with its decision.",
                       epilog=_EPILOG_VERIFY, formatter_class=argparse.RawDescriptionHelpFormatter)
    _config_flags(v, True)
    v.add_argument("--json", action="store_true", help="the summary as JSON")
    v.add_argument("--show", type=int, default=10, metavar="N", help="problems shown in full (10)")

    r = sub.add_parser("replay", help="rebuild the state the log describes",
                       description="Rebuild the state the log describes (the model after every resolution, the "
                                   "pending decisions at the end) and write its serialize text.")
    _config_flags(r, True)
    r.add_argument("-o", "--output", required=True, metavar="STATE", help="where to write the state ('-': stdout)")
    r.add_argument("--show", type=int, default=10, metavar="N", help="problems shown in full (10)")
    r.add_argument("--force", action="store_true",
                   help="write the state even when some lines cannot be replayed (they are skipped; "
                        "the exit status is still 1)")

    e = sub.add_parser("eval", help="off-policy evaluation of target configurations",
                       description="Estimate the value of target configurations (IPS, SNIPS, doubly robust) "
                                   "from the logged decisions and rewards; the logging configuration is the "
                                   "baseline.")
    _config_flags(e, False)
    e.add_argument("--target", action="append", nargs="+", metavar="KEY=VALUE",
                   help="a target: epsilon, bits, forgetfulness, default_reward (the rest as logged) and an "
                        "optional name; repeat --target to compare several")
    e.add_argument("--json", action="store_true", help="the estimates as JSON")
    e.add_argument("--plot", metavar="FILE.png", help="plot the running estimates (needs matplotlib)")
    e.add_argument("--bootstrap", type=int, default=1000, metavar="B", help="bootstrap resamples (1000)")
    e.add_argument("--seed", type=int, default=0, help="bootstrap seed (0)")

    # Work spread over processes or a cluster: sweep.py, checkpoints.py.
    from .checkpoints import add_checkpoint_flags
    from .sweep import add_parser as add_sweep_parser
    add_checkpoint_flags(v)
    add_sweep_parser(sub, _config_flags)
    return parser


def _progress_factory(args, path):
    enabled = wants_progress(args.quiet)
    try:
        total = os.path.getsize(path)
    except OSError:
        total = 0
    return lambda label: Progress(label, total, enabled)


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if not os.path.isfile(args.log):
            raise UsageError(f"cannot read {args.log}: no such file" if not os.path.exists(args.log)
                             else f"cannot read {args.log}: not a file")
        config = load_config(args.horizon, args.default_reward, args.epsilon, args.forgetfulness,
                             args.from_state, need_horizon=args.command not in ("eval", "sweep"))
        progress = _progress_factory(args, args.log)
        if args.command == "sweep":
            from .sweep import run_sweep
            return run_sweep(args, config, progress)
        if args.command == "verify":
            from .checkpoints import check_flags, run_checkpoint_verify
            check_flags(args)
            if args.checkpoints is not None:
                return run_checkpoint_verify(args, config, progress)
        if args.command == "verify":
            from .verify import run_verify
            return run_verify(args, config, progress)
        if args.command == "replay":
            from .verify import run_replay
            return run_replay(args, config, progress)
        from .evaluate import run_eval
        return run_eval(args, config, progress)
    except (UsageError, LogError) as exc:
        print(f"sorvane {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except JobFailed as exc:
        print(f"sorvane {args.command}: error: {exc}; no result is reported", file=sys.stderr)
        return JOB_FAILED
    except KeyboardInterrupt:
        print(f"sorvane {args.command}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
