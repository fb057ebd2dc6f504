"""Does `sorvane eval` tell what a learning target would earn? On the demo's
simulated shop, against the target's real online run.

For each of --runs seeds: the demo's shop (epsilon 0.05) writes its log;
`sorvane eval --method both` evaluates targets of epsilon 0 and 0.01 on it,
by rejection sampling and by today's weighted estimators (IPS); then each
target runs online for real in the same simulated world, as many visits as
rejection sampling kept for it, the visits spaced as the kept events are
(M times further apart than the logged ones), --real-runs times with fresh
traffic. The truth is the mean of those runs' expected logged reward (the
click probability of the item shown, times the chance the click arrives
within the horizon). Printed: how often each method's 95% interval holds
the truth; rejection sampling should reach 90% for both targets.

Slow (about half a minute per seed at the default size); CI does not run
it. --visits shrinks the logs, --quick checks the script in seconds.

    PYTHONPATH=build/<dir>:. python3 bench/bench_eval_rejection.py [--runs 20] [--visits 200000]
"""
import argparse
import importlib.util
import io
import json
import math
import os
import statistics
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT))

import sorvane  # noqa: E402
from _sim import CLICK_DELAY_MEDIAN, CLICK_DELAY_SPREAD, CLICK_LOSS, Traffic, World  # noqa: E402
from sorvane_cli.__main__ import main as sorvane_main  # noqa: E402

TARGETS = (0.0, 0.01)


def load_demo():
    spec = importlib.util.spec_from_file_location("sorvane_demo", ROOT / "examples" / "demo.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


demo = load_demo()
# A click is logged as a reward only if it arrives, and within the horizon.
ARRIVES = (1.0 - CLICK_LOSS) * 0.5 * math.erfc(-math.log(demo.HORIZON / CLICK_DELAY_MEDIAN)
                                                / (CLICK_DELAY_SPREAD * math.sqrt(2.0)))


class _Nowhere:
    def write(self, text):
        pass


def real_run(seed, epsilon, visits, spacing, traffic_seed):
    """The mean expected logged reward of `visits` decisions of the target
    run online in the world of `seed`, its visits `spacing` times further
    apart than the shop's."""
    world = World(seed)
    traffic = Traffic(world, traffic_seed)
    shop = demo.Shop(sorvane.create(demo.BITS, demo.HORIZON, epsilon=epsilon, forgetfulness=demo.FORGETFULNESS),
                     _Nowhere(), demo.Outcome())
    total = 0.0
    for t, visitor in traffic.visits(visits):
        t *= spacing
        shop.advance(t)
        record = shop.decide(world.visitors[visitor].context, world.candidates, t)
        total += world.click_probability[visitor][record.chosen] * ARRIVES
        delay = traffic.click_delay(visitor, record.chosen)
        if delay is not None:
            shop.click_arrives(t + delay, record.decision_id)
    shop.close()
    return total / visits


def evaluate(path, seed, bootstrap):
    argv = ["eval", str(path), "--method", "both", "--json", "-q", "--seed", str(seed), "--bootstrap",
            str(bootstrap)]
    for epsilon in TARGETS:
        argv += ["--target", f"epsilon={epsilon!r}"]
    out = io.StringIO()
    status = sorvane_main(argv, stdout=out)
    if status != 0:
        raise SystemExit(f"sorvane eval exited with {status}")
    return json.loads(out.getvalue())


def one_seed(seed, visits, real_runs, bootstrap, tmp):
    log, state = Path(tmp) / f"log{seed}.jsonl", Path(tmp) / f"state{seed}.hex"
    demo.run(visits, seed, log, state, 10)
    report = evaluate(log, seed, bootstrap)
    bound = report["rejection"]["bound"]
    rows = []
    for target in report["targets"][1:]:
        epsilon = target["config"]["epsilon"]
        rejection = target["rejection"]
        # One replay's run: as many visits as it kept.
        kept = max(round(rejection["kept"] / rejection["replays"]), 1)
        truth = statistics.fmean(real_run(seed, epsilon, kept, bound, 1000 * seed + 7 + k) for k in range(real_runs))
        ips = target["estimators"]["ips"]
        rows.append({"epsilon": epsilon, "truth": truth, "kept": kept,
                     "rejection": rejection["estimate"], "rejection_ci": rejection["ci"],
                     "weighted": ips["estimate"], "weighted_ci": ips["ci_normal"]})
    os.unlink(log)
    os.unlink(state)
    return bound, rows


def covered(ci, truth):
    return ci[0] <= truth <= ci[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=20, help="seeded runs (20)")
    parser.add_argument("--visits", type=int, default=200_000, help="visits per logged run (200,000)")
    parser.add_argument("--real-runs", type=int, default=40, help="real online runs averaged into each truth (40)")
    parser.add_argument("--bootstrap", type=int, default=200, help="bootstrap resamples of eval (200)")
    parser.add_argument("--quick", action="store_true", help="two small runs, to check the script")
    parser.add_argument("--json", metavar="FILE", help="also save every run's figures as JSON")
    args = parser.parse_args()
    if args.quick:
        args.runs, args.visits, args.real_runs = 2, 4000, 2
    results = {epsilon: [] for epsilon in TARGETS}
    with tempfile.TemporaryDirectory() as tmp:
        for seed in range(1, args.runs + 1):
            bound, rows = one_seed(seed, args.visits, args.real_runs, args.bootstrap, tmp)
            for row in rows:
                results[row["epsilon"]].append(row)
                print(f"seed {seed:2d}  epsilon {row['epsilon']:<5}  truth {row['truth']:.4f}  "
                      f"rejection {row['rejection']:.4f} [{row['rejection_ci'][0]:.4f}, {row['rejection_ci'][1]:.4f}]"
                      f" ({row['kept']} kept a replay, M {bound:.0f})  "
                      f"weighted {row['weighted']:.4f} [{row['weighted_ci'][0]:.4f}, {row['weighted_ci'][1]:.4f}]",
                      flush=True)
    print(f"\n{args.runs} runs of {args.visits:,} visits; share of runs whose 95% interval holds the real "
          "online mean (target: rejection >= 90% for both)")
    print(f"{'target':<14}{'rejection':>10}{'weighted':>10}")
    for epsilon, rows in results.items():
        rejection = sum(covered(r["rejection_ci"], r["truth"]) for r in rows) / len(rows)
        weighted = sum(covered(r["weighted_ci"], r["truth"]) for r in rows) / len(rows)
        print(f"{'epsilon ' + repr(epsilon):<14}{rejection:>10.0%}{weighted:>10.0%}")
    if args.json:
        Path(args.json).write_text(json.dumps({repr(k): v for k, v in results.items()}, indent=2))


if __name__ == "__main__":
    main()
