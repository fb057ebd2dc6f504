"""The long-run replay with an acceptance scale each run sets from its own
past, for the bench (the toolkit's scale is fixed).

Before each decision, a run of `AdaptiveLongRun` sets its scale c_k to the
`share`-quantile of p_i / pi_i(a_i) over the past decisions whose logged
choice the target could make (pi_i(a_i) > 0), capped at `cap`: a scale at
which about that share of such decisions would have been cut at 1. Until
`warmup` of them are seen the scale is `start`. The acceptance draw is the
seeded uniform of the fixed-scale replay, so runs stay deterministic.

The estimate is the mean of the terms weighted by c_k. A decision offered
at c_k is accepted with probability about c_k, so it stands for about c_k
steps of the target's run; c_k depends on the past alone, so the weight
does not bias a term whose own expectation is the target's reward there
(the acceptance probability of the logged choice would: it moves with the
term's correction). With a fixed scale the weighted mean is the plain one.
"""

from __future__ import annotations

import math
from array import array
from bisect import insort

from sorvane_cli.evaluation.longrun import LongRun


class AdaptiveLongRun(LongRun):
    """One target's replay at a scale set from its own past decisions."""

    def __init__(self, target, state, share, cap=1.0, start=0.3, warmup=100):
        super().__init__(target, min(start, cap), state)
        self.share = share
        self.cap = cap
        self.start = min(start, cap)
        self.warmup = warmup
        # p / pi(logged choice) of the past decisions with pi > 0, sorted.
        self._ratios = []
        self._scale_of = {}
        # The scale of each counted term, in the order of `terms`.
        self.weights = array("d")
        self.scale_total = 0.0
        self._weighted_mean = math.nan

    def next_scale(self):
        n = len(self._ratios)
        if n < self.warmup:
            return self.start
        return min(self.cap, self._ratios[min(int(self.share * n), n - 1)])

    def decision(self, decision_id, u, context, candidates, t, salt, chosen, propensity, rhat):
        self.scale = self.next_scale()
        super().decision(decision_id, u, context, candidates, t, salt, chosen, propensity, rhat)
        self._scale_of[decision_id] = self.scale
        self.scale_total += self.scale
        pi = self._probabilities[chosen]
        if pi > 0.0:
            insort(self._ratios, propensity / pi)

    def resolution(self, decision_id, kind, reward):
        scale = self._scale_of.pop(decision_id, None)
        counted = self.count
        offered = super().resolution(decision_id, kind, reward)
        if self.count > counted:
            self.weights.append(scale)
        return offered

    def finish(self):
        """Replaces the terms by their weighted mean's influence terms
        m + (n w_k / sum w) (T_k - m): their plain mean is the weighted mean,
        their spread over n its standard error, so the toolkit's summary and
        paired differences read them unchanged (with equal weights they are
        the terms themselves)."""
        n = self.count
        if not n:
            return
        total_weight = math.fsum(self.weights)
        m = math.fsum(w * t for w, t in zip(self.weights, self.terms)) / total_weight
        z = array("d", (m + (n * w / total_weight) * (t - m) for w, t in zip(self.weights, self.terms)))
        self.terms = z
        self.total = math.fsum(z)
        self.total_sq = math.fsum(x * x for x in z)
        self._weighted_mean = m

    def mean(self):
        return self._weighted_mean if math.isfinite(self._weighted_mean) else super().mean()

    def mean_scale(self):
        """The mean scale the decisions were offered at."""
        return self.scale_total / self.offered if self.offered else math.nan
