"""Times `sorvane export` against `sorvane verify` on the demo's log, in one run.

The log is the one examples/demo.py writes (200,000 visits by default: a
header, then a decision line of twelve candidates and a resolution line per
visit), made afresh in a temporary folder unless --log names one. export
must run at least half as fast as verify of the same log: the figure is
export's decisions per second beside verify's, by wall clock (verify's
native path reads on every usable CPU, so wall clock is what a user waits).
The CPU-time rows (every thread of the process counted) say the same with
the neighbours' load taken out: on an idle machine the wall-clock ratio lies
between the two, verify's threads helping it only by wall clock.

The machine is shared: each figure is the best of --repeat runs, and the
commands are run in turns, so that a neighbour's load falls on both alike.

    PYTHONPATH=build/<dir>:. python3 bench/bench_export.py [--visits N] [--log LOG] [--repeat N]
"""
import argparse
import importlib.util
import io
import os
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from sorvane_cli.__main__ import main as cli  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _report import Figure, print_table  # noqa: E402

# export's speed as a share of verify's, at least.
TARGET_SHARE = 0.5


def demo_log(folder, visits):
    """Writes the demo's log of `visits` visits into `folder`; returns its path."""
    sys.path.insert(0, str(ROOT / "examples"))  # the demo's helpers sit beside it
    spec = importlib.util.spec_from_file_location("sorvane_demo", ROOT / "examples" / "demo.py")
    demo = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = demo  # dataclasses look their module up there
    spec.loader.exec_module(demo)
    log = Path(folder) / "experience.jsonl"
    demo.run(visits, 1, log, Path(folder) / "state.hex", 4)
    return log


def command(argv):
    def run():
        saved = sys.stdout
        sys.stdout = io.StringIO()
        try:
            start, start_cpu = time.perf_counter(), time.process_time()
            status = cli(argv)
            elapsed, cpu = time.perf_counter() - start, time.process_time() - start_cpu
        finally:
            sys.stdout = saved
        if status != 0:
            raise SystemExit(f"sorvane {' '.join(argv)} exited with {status}")
        return elapsed, cpu
    return run


def decisions_in(log):
    with open(log, "rb") as f:
        return sum(1 for line in f if line.startswith(b'{"event":"decision"'))


def measure(log, folder, repeat):
    """The figures of one log, and its number of decisions."""
    # Imported once before the runs, as every run but the first finds it.
    import pyarrow.parquet  # noqa: F401
    decisions = decisions_in(log)
    runs = {
        "verify": command(["verify", str(log), "-q"]),
        "export .parquet": command(["export", str(log), "-o", os.path.join(folder, "out.parquet"), "-q"]),
        "export .csv": command(["export", str(log), "-o", os.path.join(folder, "out.csv"), "-q"]),
    }
    best = {name: [float("inf"), float("inf")] for name in runs}
    for _ in range(repeat):
        for name, run in runs.items():
            best[name] = [min(pair) for pair in zip(best[name], run())]
    out = []
    for clock, k in (("wall", 0), ("CPU", 1)):
        verify_rate = decisions / best["verify"][k]
        for name in ("export .parquet", "export .csv"):
            rate = decisions / best[name][k]
            out.append(Figure(f"{name}, decisions/s ({clock})", rate, "1/s", f"verify, decisions/s ({clock})",
                              verify_rate, f">= {TARGET_SHARE}x verify" if k == 0 else "",
                              rate >= TARGET_SHARE * verify_rate if k == 0 else None))
    return out, decisions


def figures(quick=False, visits=200_000, repeat=3, log=None):
    """The figures of bench/run_all.py: on the demo's log of `visits` visits
    (a short one when `quick`), or on `log`."""
    with tempfile.TemporaryDirectory(prefix="sorvane-bench-export-") as folder:
        log = log if log is not None else demo_log(folder, 5_000 if quick else visits)
        return measure(log, folder, 1 if quick else repeat)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--visits", type=int, default=200_000, help="visits of the demo's log (200,000)")
    parser.add_argument("--log", type=Path, help="an existing log instead of the demo's")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each command, the best counted (3)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="sorvane-bench-export-") as folder:
        log = args.log if args.log is not None else demo_log(folder, args.visits)
        rows, decisions = measure(log, folder, args.repeat)
        print_table(rows, f"{log}: {decisions:,} decisions; best of {args.repeat} runs in turns")


if __name__ == "__main__":
    main()
