"""Every benchmark in one run, printed as one table and optionally saved
as JSON with a description of the machine.

    python3 bench/run_all.py [--quick] [--json FILE] [--only decide,outcomes,...]

Each figure stands beside the baseline it is judged against, measured in the
same run (the machines are shared and noisy: ratios travel, absolute times
less so). --quick shrinks every workload to check the scripts themselves;
its figures are not the ones the targets speak of.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_cli  # noqa: E402
import bench_decide  # noqa: E402
import bench_export  # noqa: E402
import bench_joint  # noqa: E402
import bench_learners  # noqa: E402
import bench_log_line  # noqa: E402
import bench_outcomes  # noqa: E402
import bench_parallel  # noqa: E402
import bench_persistence  # noqa: E402
from _report import machine, print_table, save_json  # noqa: E402

SECTIONS = {
    "decide": ("decide, median per call", bench_decide),
    "outcomes": ("learn and expire against the pending count; the decide-learn cycle", bench_outcomes),
    "persistence": ("serialize and deserialize, median seconds and peak memory", bench_persistence),
    "log_line": ("log_line against json.dumps of the same line", bench_log_line),
    "cli": ("sorvane verify and eval on an M-workload log, by CPU time; the native and Python paths by wall clock",
            bench_cli),
    "parallel": ("sorvane sweep and verify --checkpoints, 2 workers against 1", bench_parallel),
    "export": ("sorvane export against verify on the demo's log, in turns", bench_export),
    "joint": ("the joint model through the taps: decide + learn by CPU time, verify by wall clock", bench_joint),
    "learners": ("share of the best policy in the click world, last 10,000 of 50,000 rounds, 5 seeds",
                 bench_learners),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small workloads, to check the scripts")
    parser.add_argument("--json", metavar="FILE", help="also save the figures and the machine as JSON")
    parser.add_argument("--only", default="", help="comma-separated sections: " + ",".join(SECTIONS))
    args = parser.parse_args()

    names = args.only.split(",") if args.only else list(SECTIONS)
    unknown = [n for n in names if n not in SECTIONS]
    if unknown:
        parser.error(f"unknown section(s): {', '.join(unknown)}")

    about = machine()
    print(f"machine: {about['cpu']}, {about['cpus']} CPUs, Python {about['python']}")
    gathered, sections = [], []
    for name in names:
        title, module = SECTIONS[name]
        start = time.perf_counter()
        figures = module.figures(quick=args.quick)
        print()
        print_table(figures, f"== {title} ({time.perf_counter() - start:.0f} s)")
        gathered.extend(figures)
        sections.append((name, figures))

    missed = [f.name for f in gathered if f.met is False]
    print()
    print(f"{len(gathered)} figures; targets missed: {'; '.join(missed) if missed else 'none'}")
    if args.json:
        save_json(args.json, sections, {"quick": args.quick})
        print(f"saved to {args.json}")


if __name__ == "__main__":
    main()
