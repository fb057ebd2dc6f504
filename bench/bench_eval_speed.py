"""How fast `sorvane eval` and `sweep` run by each method, beside `verify` in the same run.

    python3 bench/bench_eval_speed.py LOG [--sweep-log LOG50K] [--workers 2]

LOG is a long log with a header (the demo's 200,000-decision log:
`python3 examples/demo.py --no-verify` writes demo-output/experience.jsonl);
eval runs one target on it. The sweep runs the 15 configurations epsilon
{0, 0.01, 0.05, 0.1, 0.2} x forgetfulness {0.999, 0.9999, 1.0} on
--sweep-log. Wall-clock seconds; the machine's other load moves them all.
"""

from __future__ import annotations

import argparse
import contextlib
import io
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


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("--sweep-log")
    parser.add_argument("--workers", default="2")
    parser.add_argument("--methods", default="longrun,rejection")
    args = parser.parse_args()
    methods = args.methods.split(",")
    verify = timed(["verify", args.log])
    print(f"verify {args.log}: {verify:.1f} s")
    for method in methods:
        seconds = timed(["eval", args.log, "--method", method, "--target", "epsilon=0.01"])
        print(f"eval --method {method}, one target: {seconds:.1f} s ({seconds / verify:.1f}x verify)")
    if args.sweep_log:
        grid = ["--grid", "epsilon=0,0.01,0.05,0.1,0.2", "--grid", "forgetfulness=0.999,0.9999,1.0"]
        for method in methods:
            seconds = timed(["sweep", args.sweep_log, "--method", method, "--workers", args.workers] + grid)
            print(f"sweep --method {method}, 15 configurations, {args.workers} workers: {seconds:.1f} s")


if __name__ == "__main__":
    main()
