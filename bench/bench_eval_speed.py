"""How fast `sorvane eval` and `sweep` run by each method, beside `verify` in the same run.

    python3 bench/bench_eval_speed.py LOG [--sweep-log LOG50K] [--workers 2] [--python-path]
                                          [--baseline PYTHONPATH]

LOG is a long log with a header (the demo's 200,000-decision log:
`python3 examples/demo.py --no-verify` writes demo-output/experience.jsonl);
eval runs one target on it. The sweep runs the 15 configurations epsilon
{0, 0.01, 0.05, 0.1, 0.2} x forgetfulness {0.999, 0.9999, 1.0} on
--sweep-log (a 50,000-decision log: `examples/demo.py --visits 50000`).
The long-run replay's times are set beside verify's (eval) and beside the
rejection sweep's of the same run and its earlier 126 s (sweep);
--python-path also times eval by the long-run replay on the Python path
alone (the native passes turned off). --baseline times the sweep of
another build as well, in the same run, each sweep a command of its own
(PYTHONPATH: that build's, e.g. "OLD/build/dev:OLD" for a checkout OLD built
before the long-run replay, whose default is rejection sampling), best of
--rounds. Wall-clock seconds; the machine's other load moves them all.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import math
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from sorvane_cli.__main__ import main as sorvane_main


def timed(argv: list[str]) -> float:
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        status = sorvane_main(argv + ["-q"])
    if status != 0:
        raise SystemExit(f"{' '.join(argv)}: exit {status}")
    return time.perf_counter() - start


def timed_command(argv: list[str], pythonpath: str) -> float:
    """Seconds of one `python3 -m sorvane_cli` command with that PYTHONPATH."""
    env = dict(os.environ, PYTHONPATH=pythonpath)
    start = time.perf_counter()
    # Run from the root, so that the current folder puts no other copy of the package first.
    subprocess.run([sys.executable, "-m", "sorvane_cli", *argv, "-q"], env=env, check=True, cwd="/",
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


# The 15-configuration rejection sweep of a 50,000-decision log before the native long-run replay.
OLD_SWEEP_SECONDS = 126.0


@contextlib.contextmanager
def python_path():
    """The long-run replay on the Python path alone: its native passes decline."""
    from sorvane_cli.evaluation import evaluate

    saved = evaluate.longrun_natively, evaluate.fit_natively
    evaluate.longrun_natively = evaluate.fit_natively = lambda *args, **kwargs: None
    try:
        yield
    finally:
        evaluate.longrun_natively, evaluate.fit_natively = saved


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("--sweep-log")
    parser.add_argument("--workers", default="2")
    parser.add_argument("--methods", default="longrun,rejection")
    parser.add_argument("--python-path", action="store_true")
    parser.add_argument("--baseline", metavar="PYTHONPATH")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    methods = args.methods.split(",")
    # verify and eval turn about, best of --rounds each.
    verify = longrun = math.inf
    eval_one = ["eval", args.log, "--target", "epsilon=0.01"]
    for _ in range(args.rounds):
        verify = min(verify, timed(["verify", args.log]))
        if "longrun" in methods:
            longrun = min(longrun, timed(eval_one + ["--method", "longrun"]))
    print(f"verify {args.log}: {verify:.1f} s")
    for method in methods:
        seconds = longrun if method == "longrun" else timed(eval_one + ["--method", method])
        goal = " (goal: at most 3x)" if method == "longrun" else ""
        print(f"eval --method {method}, one target: {seconds:.1f} s ({seconds / verify:.2f}x verify){goal}")
        if method == "longrun" and args.python_path:
            with python_path():
                slow = timed(eval_one + ["--method", method])
            print(f"eval --method longrun on the Python path: {slow:.1f} s ({slow / verify:.2f}x verify; "
                  f"the native path {slow / seconds:.1f}x faster)")
    if args.sweep_log:
        grid = ["--grid", "epsilon=0,0.01,0.05,0.1,0.2", "--grid", "forgetfulness=0.999,0.9999,1.0"]
        times = {}
        for method in methods:
            times[method] = timed(["sweep", args.sweep_log, "--method", method, "--workers", args.workers] + grid)
            print(f"sweep --method {method}, 15 configurations, {args.workers} workers: {times[method]:.1f} s")
        if "longrun" in times:
            line = f"sweep --method longrun: {OLD_SWEEP_SECONDS / times['longrun']:.1f}x faster than the earlier " \
                   f"{OLD_SWEEP_SECONDS:.0f} s of rejection sampling (goal: at least 10x)"
            if "rejection" in times:
                line += f"; {times['rejection'] / times['longrun']:.1f}x faster than rejection sampling in this run"
            print(line)
        if args.baseline:
            # Both builds' default method, each a command of its own, turn about.
            sweep = ["sweep", args.sweep_log, "--workers", args.workers] + grid
            here = str(Path(__file__).resolve().parent.parent)
            ours = os.pathsep.join(p for p in [os.environ.get("PYTHONPATH", ""), here] if p)
            new, old = [], []
            for _ in range(args.rounds):
                new.append(timed_command(sweep, ours))
                old.append(timed_command(sweep, args.baseline))
            print(f"sweep, default method, this build: {min(new):.1f} s (rounds: "
                  f"{', '.join(f'{t:.1f}' for t in new)}); baseline build: {min(old):.1f} s (rounds: "
                  f"{', '.join(f'{t:.1f}' for t in old)}); {min(old) / min(new):.1f}x faster (goal: at least 10x)")

if __name__ == "__main__":
    main()
