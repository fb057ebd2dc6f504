"""The simulated shop behind the demo: visitors, a catalogue and a hidden click model.

Nothing here touches the engine. The world is drawn once from its seed: which
categories each kind of visitor likes, which items returning visitors are
loyal to, how much each device minds a high price. The engine never sees these
numbers; it sees only the features a real shop would log, and the clicks that
come back.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

DEVICES = ("mobile", "desktop", "tablet")
DEVICE_SHARE = (0.58, 0.33, 0.09)
COUNTRIES = ("US", "DE", "BR", "JP", "NZ")
COUNTRY_SHARE = (0.38, 0.22, 0.18, 0.14, 0.08)
DAYPARTS = ("morning", "afternoon", "evening", "night")
DAYPART_SHARE = (0.24, 0.31, 0.33, 0.12)
RETURNING_SHARE = 0.35

CATEGORIES = ("news", "sports", "tech", "fashion", "food", "travel")
ITEMS_PER_CATEGORY = 2
# Phones are the most put off by a high price, desktops the least.
PRICE_AVERSION = (0.45, 0.1, 0.25)
OVERALL_CLICK_RATE = 0.05

# Visitors arrive about five a second. A click comes back after a delay that
# is usually under a minute but has a long tail, and some clicks are lost on
# the way (blocked trackers, closed tabs) and never arrive at all.
VISITS_PER_SECOND = 5.0
CLICK_DELAY_MEDIAN = 40.0
CLICK_DELAY_SPREAD = 1.0
CLICK_LOSS = 0.03

# A candidate as decide takes it: an identifier and its features.
Candidate = tuple[str, dict[str, str | float]]
Context = dict[str, str | bool]


@dataclass(frozen=True)
class Visitor:
    """One kind of visitor: what the shop knows about them, and how common they are."""

    context: Context
    share: float


def price_band(price: float) -> str:
    # The model weighs a number feature by its value, so a raw price of 130
    # would outweigh everything else; a band is a text feature with a weight
    # of its own in every context.
    return "budget" if price < 15.0 else "mid" if price < 60.0 else "premium"


def _sigmoid(x: float) -> float:
    return 1.0 / (1.0 + math.exp(-x))


class World:
    """A catalogue of items and the hidden click probability of every visitor-item pair."""

    def __init__(self, seed: int) -> None:
        rng = random.Random(seed)
        self.candidates: list[Candidate] = []
        categories: list[int] = []
        prices: list[float] = []
        for c, category in enumerate(CATEGORIES):
            for k in range(ITEMS_PER_CATEGORY):
                price = round(math.exp(rng.uniform(math.log(4.0), math.log(180.0))), 2)
                self.candidates.append((f"{category}-{k + 1}", {"category": category, "price_band": price_band(price)}))
                categories.append(c)
                prices.append(price)

        # Every device, country and time of day has favourite categories, and
        # returning visitors have favourite items.
        by_device = [self._favourites(rng, 2, 0.9) for _ in DEVICES]
        by_country = [self._favourites(rng, 2, 0.8) for _ in COUNTRIES]
        by_daypart = [self._favourites(rng, 1, 0.9) for _ in DAYPARTS]
        loyal = set(rng.sample(range(len(self.candidates)), 3))

        self.visitors: list[Visitor] = []
        logits: list[list[float]] = []
        for d, device in enumerate(DEVICES):
            for n, country in enumerate(COUNTRIES):
                for h, daypart in enumerate(DAYPARTS):
                    for returning in (False, True):
                        share = DEVICE_SHARE[d] * COUNTRY_SHARE[n] * DAYPART_SHARE[h]
                        share *= RETURNING_SHARE if returning else 1.0 - RETURNING_SHARE
                        context: Context = {"device": device, "country": country, "daypart": daypart, "returning": returning}
                        self.visitors.append(Visitor(context, share))
                        row = []
                        for i, c in enumerate(categories):
                            logit = by_device[d][c] + by_country[n][c] + by_daypart[h][c]
                            logit += 0.8 if returning and i in loyal else 0.0
                            logit -= PRICE_AVERSION[d] * math.log(prices[i] / 30.0)
                            row.append(logit)
                        logits.append(row)

        # Each item is then tuned to about the same click rate over all
        # visitors: no item wins everywhere, so the right one depends on who
        # is visiting.
        self.click_probability: list[list[float]] = [[] for _ in self.visitors]
        offsets = [self._calibrate([row[i] for row in logits], OVERALL_CLICK_RATE * math.exp(rng.gauss(0.0, 0.15))) for i in range(len(categories))]
        for probabilities, row in zip(self.click_probability, logits):
            probabilities.extend(_sigmoid(x + offset) for x, offset in zip(row, offsets))
        self.best_rate = [max(row) for row in self.click_probability]
        self.random_rate = [sum(row) / len(row) for row in self.click_probability]

    @staticmethod
    def _favourites(rng: random.Random, count: int, lift: float) -> list[float]:
        """A lift in the log-odds of a click for `count` categories, a little noise for all."""
        liked = rng.sample(range(len(CATEGORIES)), count)
        return [rng.gauss(lift if c in liked else 0.0, 0.1) for c in range(len(CATEGORIES))]

    def _calibrate(self, logits: list[float], target: float) -> float:
        """The shift of one item's `logits` that gives it a click rate of `target` over all visitors."""
        low, high = -20.0, 20.0
        for _ in range(50):
            mid = (low + high) / 2
            rate = sum(v.share * _sigmoid(x + mid) for v, x in zip(self.visitors, logits))
            low, high = (mid, high) if rate < target else (low, mid)
        return (low + high) / 2

    def single_item_rate(self) -> float:
        """The click rate of the one item that does best when shown to every visitor."""
        return max(sum(v.share * row[i] for v, row in zip(self.visitors, self.click_probability)) for i in range(len(self.candidates)))


class Traffic:
    """The stream of visits and the fate of every shown item, from a seed of its own."""

    def __init__(self, world: World, seed: int) -> None:
        self._rng = random.Random(seed)
        self._world = world
        self._kinds = range(len(world.visitors))
        self._cum_shares: list[float] = []
        total = 0.0
        for visitor in world.visitors:
            total += visitor.share
            self._cum_shares.append(total)
        self._t = 0.0

    def visits(self, count: int) -> list[tuple[float, int]]:
        """The next `count` visits as (time in seconds, visitor index), in time order."""
        rng = self._rng
        out = []
        for visitor in rng.choices(self._kinds, cum_weights=self._cum_shares, k=count):
            self._t += rng.expovariate(VISITS_PER_SECOND)
            out.append((self._t, visitor))
        return out

    def click_delay(self, visitor: int, item: int) -> float | None:
        """Seconds until a click on `item` reaches the shop, or None when none ever does."""
        rng = self._rng
        if rng.random() >= self._world.click_probability[visitor][item]:
            return None
        if rng.random() < CLICK_LOSS:
            return None
        return rng.lognormvariate(math.log(CLICK_DELAY_MEDIAN), CLICK_DELAY_SPREAD)
