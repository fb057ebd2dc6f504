"""Is offline evaluation right about a long deployment? The long-run replay
against the truth of the click world.

For each world seed, a 50,000-decision log written at epsilon 0.1 is
evaluated for every configuration of epsilon {0, 0.01, 0.05, 0.1, 0.2} x
forgetfulness {0.999, 0.9999, 1.0}; the truth is each configuration's mean
over real 50,000-round online runs in the same world (_click_truth.py,
cached in bench/click_truth.json). Reported per seed: the configuration
recommended (or the configurations the log cannot tell apart), its true
share of the best configuration's, how many intervals cover the truth, and
the rank correlation of the estimates with the truth beside that of one
real run with another.

    python3 bench/_click_truth.py                  # once: the truth (CPU-heavy)
    python3 bench/bench_eval_longrun.py [--scale 0.3] [--replays 3]
    python3 bench/bench_eval_longrun.py --adaptive 0.05 [--cap 1]

With --adaptive Q each (replay, configuration) run sets its acceptance scale
before every decision from its own past: the Q-quantile of p / pi(logged
choice), capped (_adaptive_scale.py); "scale" is then the mean scale offered.
With --bagged poisson (or half) each replay learns from a resample of the
log of its own: every decision a multiplicity drawn per (replay, decision),
Poisson(1) (or 0 / 1: give it twice the scale), independent of the acceptance draw; every term is
still counted once (_bagged_replay.py). Give it more replays (--replays 8).
Estimates are cached under build/click/ per scale (or Q and cap), bag and replays.
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))
import _click_truth as ct  # noqa: E402
import _longrun_replay as lr  # noqa: E402
from _bagged_replay import BAGS  # noqa: E402

from sorvane_cli.evaluation.longrun import MARGIN, Z_95  # noqa: E402

WORK = HERE.parent / "build" / "click"


def log_path(seed: int) -> Path:
    path = WORK / f"log{seed}.jsonl"
    if not path.exists():
        WORK.mkdir(parents=True, exist_ok=True)
        ct.write_log(seed, path)
    return path


def estimates(seed: int, scale: float, replays: int, repeat: bool = False, adaptive: dict | None = None,
              bag: str | None = None) -> dict:
    """{"summaries": {config name: summary}, "recommendation": ...}, cached."""
    if bag is not None:
        cache = WORK / f"longrun_s{seed}_c{scale}_r{replays}_bag{bag}.json"
    elif adaptive is None:
        cache = WORK / f"longrun_s{seed}_c{scale}_r{replays}{'_repeat' if repeat else ''}.json"
    else:
        cache = WORK / (f"longrun_s{seed}_q{adaptive['share']}_cap{adaptive['cap']}_w{adaptive['warmup']}"
                        f"_r{replays}.json")
    if cache.exists():
        return json.loads(cache.read_text())
    header, events = lr.load(log_path(seed))
    summaries, rec, differences = lr.estimate_and_recommend(header, events, ct.GRID, scale, replays, repeat=repeat,
                                                            adaptive=adaptive, bag=bag)

    def name(config):
        return ct.config_name(*config)

    out = {"summaries": {name(c): s for c, s in summaries.items()},
           "differences": {name(c): d for c, d in differences.items()},
           "recommendation": {"winner": rec["winner"] and name(rec["winner"]), "best": name(rec["best"]),
                              "tied": [name(c) for c in rec["tied"]], "more_data": rec["more_data"]}}
    cache.write_text(json.dumps(out, indent=1))
    return out


def recommend(est: dict, margin: float) -> tuple[str | None, str, list[str]]:
    """(winner or None, best, tied) by the sweep's rule with this margin. A
    cache without the paired differences bounds their error by the unpaired
    one (more ties)."""
    summaries = est["summaries"]
    best = max(summaries, key=lambda n: summaries[n]["estimate"])
    least = margin * abs(summaries[best]["estimate"])
    tied = []
    for n, s in summaries.items():
        if n == best:
            continue
        if "differences" in est:
            mean, error = est["differences"][n]
        else:
            mean = summaries[best]["estimate"] - s["estimate"]
            error = math.hypot(summaries[best]["stderr"], s["stderr"])
        if not mean - Z_95 * error > least:
            tied.append(n)
    return (None if tied else best), best, tied


def one_run_vs_another(runs: dict[str, list[float]]) -> float:
    """The mean rank correlation of real run k with real run k' over all pairs."""
    names = list(runs)
    k = min(len(v) for v in runs.values())
    values = [lr.spearman([runs[n][i] for n in names], [runs[n][j] for n in names])
              for i, j in itertools.combinations(range(k), 2)]
    return sum(values) / len(values) if values else math.nan


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=0.3)
    parser.add_argument("--replays", type=int, default=3)
    parser.add_argument("--repeat", action="store_true",
                        help="past an acceptance of 1, learn from a decision that many times instead of once")
    parser.add_argument("--adaptive", type=float, default=None, metavar="Q",
                        help="set each run's scale from its past: the Q-quantile of p / pi (default: fixed --scale)")
    parser.add_argument("--cap", type=float, default=1.0, help="the adaptive scale's largest value")
    parser.add_argument("--warmup", type=int, default=100,
                        help="decisions the adaptive scale stays at --scale before it follows the quantile")
    parser.add_argument("--bagged", choices=BAGS, default=None,
                        help="each replay learns from a resample of the log of its own: Poisson(1) or 0 / 1 times")
    parser.add_argument("--margin", type=float, default=None,
                        help="the recommendation's margin (default: the toolkit's)")
    parser.add_argument("--seeds", default=",".join(map(str, ct.SEEDS)))
    args = parser.parse_args()
    seeds = [int(s) for s in args.seeds.split(",")]
    if args.adaptive is not None and not (0.0 <= args.adaptive < 1.0 and args.cap > 0.0 and args.warmup >= 1):
        parser.error("--adaptive must be in [0, 1), --cap positive, --warmup at least 1")
    if args.adaptive is not None and args.repeat:
        parser.error("--repeat takes a fixed scale")
    if args.bagged is not None and (args.adaptive is not None or args.repeat):
        parser.error("--bagged takes a fixed scale, without --repeat")
    adaptive = None if args.adaptive is None else {"share": args.adaptive, "cap": args.cap, "start": args.scale,
                                                   "warmup": args.warmup}
    data = ct.load()["runs"]
    scale_text = (f"c = {args.scale}" if adaptive is None else
                  f"c = the {args.adaptive}-quantile of p / pi, at most {args.cap}, {args.scale} for the first "
                  f"{args.warmup}")
    bag_text = f", each replay learning from a {args.bagged} resample of the log" if args.bagged else ""
    print(f"long-run replay, {scale_text}{' (repeated past 1)' if args.repeat else ''}{bag_text}, "
          f"{args.replays} replays; "
          "truth: mean of real 50,000-round runs")
    print(f"{'seed':>4}  {'recommended':<34} {'share':>6}  {'best estimate':<34} {'share':>6}  "
          f"{'tied worst':>10}  {'cover':>6}  {'cover@len':>9}  {'rho':>5}  {'rho 1v1':>7}  {'runs':>4}  "
          f"{'run len':>7}  {'scale':>5}  {'bias':>7}  {'bias@len':>8}")
    good = covered = pairs = covered_len = pairs_len = 0
    per_seed = []  # (rho, rho of one real run with another, run length, bias, bias at that length)
    for seed in seeds:
        runs = data.get(str(seed))
        if not runs:
            continue
        truth = {n: sum(v) / len(v) for n, v in runs.items()}
        top = max(truth.values())
        est = estimates(seed, args.scale, args.replays, args.repeat, adaptive, args.bagged)
        summaries = est["summaries"]
        winner, best, tied = recommend(est, MARGIN if args.margin is None else args.margin)
        rec = {"winner": winner, "best": best, "tied": tied}
        names = [n for n in truth if n in summaries]
        cover = sum(summaries[n]["ci"][0] <= truth[n] <= summaries[n]["ci"][1] for n in names)
        covered += cover
        pairs += len(names)
        rho = lr.spearman([summaries[n]["estimate"] for n in names], [truth[n] for n in names])
        share = truth[rec["winner"]] / top if rec["winner"] else math.nan
        good += rec["winner"] is None or share >= 0.95
        group = [rec["best"], *rec["tied"]]
        worst = min(truth[n] for n in group) / top
        bias = sum(summaries[n]["estimate"] - truth[n] for n in names) / len(names)
        # The truth of a real run as long as the run each estimate stands for.
        curves = ct.load().get("prefixes", {}).get(str(seed), {})
        at_len = {n: ct.truth_at(curves[n], summaries[n]["run_length"]) for n in names if curves.get(n)}
        cover_len = sum(summaries[n]["ci"][0] <= at_len[n] <= summaries[n]["ci"][1] for n in at_len)
        covered_len += cover_len
        pairs_len += len(at_len)
        bias_len = (sum(summaries[n]["estimate"] - at_len[n] for n in at_len) / len(at_len)) if at_len else math.nan
        length = sum(summaries[n]["run_length"] for n in names) / len(names)
        per_seed.append((rho, one_run_vs_another(runs), length, bias, bias_len))
        scale = sum(summaries[n].get("scale", args.scale) for n in names) / len(names)
        print(f"{seed:>4}  {rec['winner'] or 'none (' + str(len(group)) + ' tied)':<34} {share:>6.1%}  "
              f"{rec['best']:<34} {truth[rec['best']] / top:>6.1%}  {worst:>10.1%}  {cover:>3}/{len(names):<2}  "
              f"{cover_len:>6}/{len(at_len):<2}  "
              f"{rho:>5.2f}  {one_run_vs_another(runs):>7.2f}  {min(len(v) for v in runs.values()):>4}  "
              f"{length:>7.0f}  {scale:>5.3f}  {bias:>+7.4f}  {bias_len:>+8.4f}")
    if pairs:
        print(f"\nrecommendation at least 95% of the best, or withheld: {good} of {len(seeds)} seeds; "
              f"intervals covering the truth: {covered}/{pairs} ({covered / pairs:.0%}); covering the truth "
              f"of a run as long as each estimate's: {covered_len}/{pairs_len} ({covered_len / pairs_len:.0%})")
        rho, rho_1v1, length, bias, bias_len = (sum(v) / len(v) for v in zip(*per_seed))
        print(f"mean over seeds: rho {rho:.2f} (one real run vs another {rho_1v1:.2f}), run length {length:.0f}, "
              f"bias {bias:+.4f}, bias vs a run that long {bias_len:+.4f}")


if __name__ == "__main__":
    main()
