"""What each configuration really earns in the click world, and the logs to evaluate it from.

For each world seed: one 50,000-decision log written by a state at epsilon 0.1
(with a header line, so the toolkit reads its configuration), and for every
configuration of the grid its mean reward per decision over several real
50,000-round online runs on traffic of their own. The truth is the expected
reward of the chosen items (the click noise taken out), averaged over the run.
Runs are cached in a JSON file beside this one, so the costly part runs once:

    python3 bench/_click_truth.py            # fills bench/click_truth.json
"""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _click_world as cw

BITS = 16
HORIZON = 1e9              # rewards come at once; nothing expires
ROUNDS = 50_000
LOG_EPSILON = 0.1
LOG_FORGETFULNESS = 0.999
SEEDS = (1, 2, 3, 4, 5)
RUNS = 8
EPSILONS = (0.0, 0.01, 0.05, 0.1, 0.2)
FORGETFULNESS = (0.999, 0.9999, 1.0)
GRID = [(e, f) for e in EPSILONS for f in FORGETFULNESS]
# The lengths at which a real run's mean so far is kept too: the truth of a shorter run.
PREFIXES = (2_500, 5_000, 7_500, 10_000, 15_000, 20_000, 25_000, 30_000, 40_000, 50_000)
CACHE = Path(__file__).resolve().parent / "click_truth.json"


def config_name(epsilon: float, forgetfulness: float) -> str:
    return f"epsilon={epsilon!r},forgetfulness={forgetfulness!r}"


def log_traffic(seed: int) -> int:
    return 1000 * seed


def run_traffic(seed: int, k: int) -> int:
    return 1000 * seed + 1 + k


def write_log(seed: int, path: Path, rounds: int = ROUNDS) -> None:
    """The logging run of world `seed`, written to `path` with a header line."""
    import sorvane
    from sorvane_cli import header_line

    state = sorvane.create(BITS, HORIZON, 0.0, LOG_EPSILON, LOG_FORGETFULNESS)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "w") as f:
        f.write(header_line(BITS, HORIZON, 0.0, LOG_EPSILON, LOG_FORGETFULNESS) + "\n")
        cw.run(cw.World(seed), log_traffic(seed), rounds, state, log=f)
    os.replace(tmp, path)


def real_run(seed: int, k: int, epsilon: float, forgetfulness: float) -> list[float]:
    """The mean expected reward per decision of one real online run over
    its first PREFIXES rounds (the last is the whole run)."""
    import sorvane

    state = sorvane.create(BITS, HORIZON, 0.0, epsilon, forgetfulness)
    chosen, _ = cw.run(cw.World(seed), run_traffic(seed, k), ROUNDS, state)
    return [sum(chosen[:n]) / n for n in PREFIXES]


def load() -> dict:
    """{"runs": {seed: {config name: [mean of each real run]}}, "prefixes": {seed: {config name:
    [[mean over each of PREFIXES] of each real run]}}}, as far as computed (older runs may lack prefixes)."""
    if CACHE.exists():
        return json.loads(CACHE.read_text())
    return {"rounds": ROUNDS, "log_epsilon": LOG_EPSILON, "runs": {}}


def _save(data: dict) -> None:
    tmp = CACHE.with_suffix(".tmp")
    tmp.write_text(json.dumps(data, indent=1, sort_keys=True) + "\n")
    os.replace(tmp, CACHE)


def fill(seeds=SEEDS, runs: int = RUNS) -> dict:
    """Computes the real runs still missing from the cache, saving after each configuration."""
    data = load()
    # One run of every seed before the next, so a partial cache covers every world.
    for k in range(runs):
        for seed in seeds:
            by_config = data["runs"].setdefault(str(seed), {})
            curves = data.setdefault("prefixes", {}).setdefault(str(seed), {})
            for epsilon, forgetfulness in GRID:
                name = config_name(epsilon, forgetfulness)
                done = by_config.setdefault(name, [])
                if len(done) > k:
                    continue
                curve = real_run(seed, k, epsilon, forgetfulness)
                done.append(curve[-1])
                curves.setdefault(name, []).append(curve)
                _save(data)
            print(f"seed {seed} run {k} done", flush=True)
    return data


def truth_at(curves: list[list[float]], length: float) -> float:
    """The mean reward per decision of a run of `length` rounds, interpolated
    between the kept prefixes and averaged over the runs."""
    points = [(0, None)] + list(zip(PREFIXES, range(len(PREFIXES))))
    length = min(max(length, PREFIXES[0]), PREFIXES[-1])
    for (n0, i0), (n1, i1) in zip(points[1:], points[2:]):
        if n0 <= length <= n1:
            w = (length - n0) / (n1 - n0)
            return sum((1 - w) * c[i0] + w * c[i1] for c in curves) / len(curves)
    return sum(c[0] for c in curves) / len(curves)


def truth(seed: int) -> dict[str, float]:
    """Each configuration's mean over the cached real runs of world `seed`."""
    runs = load()["runs"][str(seed)]
    return {name: sum(v) / len(v) for name, v in runs.items()}


if __name__ == "__main__":
    fill()
