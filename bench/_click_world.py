"""A simulated click world for the learning-quality benchmarks.

Ten items (category, price band, quality) are shown to visitors described by
device, country, daypart, age and engagement. Whether a visitor clicks follows
a hidden logistic model with context-by-item interactions: each context value
shifts the log-odds of each category and, by a smaller amount, of each single
item, so the right item depends on who is visiting and no item wins
everywhere. A learner sees only the features and the clicks.

`World(seed)` draws the hidden model; `Traffic(world, seed)` draws the
visitors and one uniform number per round, so every learner run on the same
traffic meets the same visitors and the same luck (a click happens when the
round's number falls below the shown item's click probability). Quality is
measured as the expected reward of the chosen items against that of the best
possible policy over the same visitors, which takes the click noise out.
"""

from __future__ import annotations

import math
import random
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

CONTEXT_VALUES = {
    "device": ("mobile", "desktop", "tablet"),
    "country": ("US", "DE", "BR", "JP", "NZ", "IN"),
    "daypart": ("morning", "afternoon", "evening", "night"),
    "age": ("18-24", "25-34", "35-49", "50-64", "65+"),
    "engagement": ("new", "casual", "loyal"),
}
CATEGORIES = ("news", "sports", "tech", "fashion", "food")
PRICE_BANDS = ("budget", "mid", "premium")
CLICK_RATE = 0.08          # the mean click probability the base log-odds are tuned to
CATEGORY_EFFECT = 0.6      # spread of a context value's lift on a category's log-odds
ITEM_EFFECT = 0.5          # spread of a context value's lift on one item's log-odds
PRICE_EFFECT = 0.35        # spread of a context value's lift on a price band
QUALITY_EFFECT = 0.8       # log-odds per unit of quality, everywhere

Candidate = tuple[str, dict[str, Any]]


def _sigmoid(x: float) -> float:
    return 1.0 / (1.0 + math.exp(-x))


class World:
    """The items and the hidden click probability of every (visitor, item) pair."""

    def __init__(self, seed: int, n_items: int = 10) -> None:
        rng = random.Random(seed)
        self.candidates: list[Candidate] = []
        cats: list[int] = []
        bands: list[int] = []
        quality: list[float] = []
        for i in range(n_items):
            c, b, q = i % len(CATEGORIES), rng.randrange(len(PRICE_BANDS)), round(rng.random(), 2)
            self.candidates.append((f"item-{i}", {"category": CATEGORIES[c], "price_band": PRICE_BANDS[b], "quality": q}))
            cats.append(c)
            bands.append(b)
            quality.append(q)
        # One lift per (context feature value, category / band / item).
        self._lift: dict[tuple[str, str], list[float]] = {}
        for name, values in CONTEXT_VALUES.items():
            for value in values:
                by_cat = [rng.gauss(0.0, CATEGORY_EFFECT) for _ in CATEGORIES]
                by_band = [rng.gauss(0.0, PRICE_EFFECT) for _ in PRICE_BANDS]
                self._lift[(name, value)] = [
                    by_cat[cats[i]] + by_band[bands[i]] + rng.gauss(0.0, ITEM_EFFECT) for i in range(n_items)
                ]
        self._item_bias = [QUALITY_EFFECT * (quality[i] - 0.5) + rng.gauss(0.0, 0.2) for i in range(n_items)]
        self._base = 0.0
        self._cache: dict[tuple[str, ...], list[float]] = {}
        self._base = self._calibrate(rng)

    def _logits(self, key: tuple[str, ...]) -> list[float]:
        out = [self._base + b for b in self._item_bias]
        for name, value in zip(CONTEXT_VALUES, key):
            for i, lift in enumerate(self._lift[(name, value)]):
                out[i] += lift
        return out

    def _calibrate(self, rng: random.Random) -> float:
        """The base log-odds that give a mean click probability of CLICK_RATE over random visitors and items."""
        keys = [tuple(rng.choice(v) for v in CONTEXT_VALUES.values()) for _ in range(2000)]
        logits = [self._logits(k) for k in keys]
        low, high = -15.0, 5.0
        for _ in range(50):
            mid = (low + high) / 2
            rate = sum(_sigmoid(x + mid) for row in logits for x in row) / (len(logits) * len(self.candidates))
            low, high = (mid, high) if rate < CLICK_RATE else (low, mid)
        return (low + high) / 2

    def click_probabilities(self, key: tuple[str, ...]) -> list[float]:
        """Every item's click probability for the visitor `key` (one value per context feature)."""
        probs = self._cache.get(key)
        if probs is None:
            probs = [_sigmoid(x) for x in self._logits(key)]
            self._cache[key] = probs
        return probs


@dataclass(frozen=True)
class Visit:
    context: dict[str, Any]
    key: tuple[str, ...]
    luck: float  # a click happens when this falls below the shown item's probability


class Traffic:
    """The visitors and the luck of each round, drawn from a seed of their own."""

    def __init__(self, seed: int) -> None:
        self._rng = random.Random(seed)

    def visits(self, count: int) -> Iterator[Visit]:
        rng = self._rng
        for _ in range(count):
            key = tuple(rng.choice(values) for values in CONTEXT_VALUES.values())
            yield Visit(dict(zip(CONTEXT_VALUES, key)), key, rng.random())


def run(world: World, traffic_seed: int, rounds: int, state: Any, *,
        score: Callable[..., Any] | None = None, explore: Callable[..., Any] | None = None,
        train: Callable[..., Any] | None = None, log: Any = None, salt: str = "sim") -> tuple[list[float], list[float]]:
    """Runs `state` online for `rounds` visits, rewards reported at once.

    Returns the expected reward of each chosen item and the best expected
    reward of each round. With `log` (a text file), writes the experience log.
    """
    import sorvane

    taps: dict[str, Any] = {}
    if score is not None:
        taps["score"] = score
    if explore is not None:
        taps["explore"] = explore
    learn_taps = {"train": train} if train is not None else {}
    chosen_p: list[float] = []
    best_p: list[float] = []
    candidates = world.candidates
    for t, visit in enumerate(Traffic(traffic_seed).visits(rounds)):
        probs = world.click_probabilities(visit.key)
        record = sorvane.decide(state, visit.context, candidates, t=float(t), salt=salt, **taps)
        p = probs[record.chosen]
        chosen_p.append(p)
        best_p.append(max(probs))
        resolution = sorvane.learn(state, record.decision_id, reward=1.0 if visit.luck < p else 0.0, t=float(t), **learn_taps)
        if log is not None:
            log.write(sorvane.log_line(record) + "\n")
            log.write(sorvane.log_line(resolution) + "\n")
    return chosen_p, best_p


def share_of_best(chosen_p: list[float], best_p: list[float], last: int) -> float:
    """The chosen items' expected reward as a share of the best policy's, over the last `last` rounds."""
    return sum(chosen_p[-last:]) / sum(best_p[-last:])
