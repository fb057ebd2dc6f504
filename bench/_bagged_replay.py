"""The long-run replay whose replays learn from resampled logs (online
bagging), for the bench: the toolkit's replays all learn from the same log.

Every replay of one log sees the same rewards in the same order, so a target
whose path hangs on its early luck (a greedy one locking in on an item) takes
nearly the same path in every replay, and the spread between replays misses
the spread between real runs. Here replay r gives each logged decision a
multiplicity m drawn from a seeded uniform of (seed, replay, decision id),
independent of the acceptance draw (its own hash key): Poisson(1) ("poisson",
the online bootstrap) or 0 / 1 with probability 1/2 each ("half": each
decision seen by half the replays). An accepted decision is learned from m
times (none when m is 0). At twice the scale, "half" learns each decision
with probability min(1/2, c pi / p): the fixed-scale replay's, but for the
decisions it accepts always (cut at 1), which now only half the replays
learn from; and the run keeps its length but for those.

Every decision's doubly robust term is still counted once, in every replay:
the target's state at a decision depends only on the past, and the bag draw
is independent of the decision's outcome, so the term stays unbiased for
what the target as it stands earns there. The terms' own noise is then that
of the one log, shared by all replays (the summary's "within"), and the
spread between replays is the spread of the paths alone ("between", over
the replays): the toolkit's summary and paired differences read the runs
unchanged. Counting the terms m times too would add the bootstrap's noise
to every replay's mean for nothing (the between spread would then hold the
log's noise a second time).

The run stands for about as many learning steps as the decisions accepted
(duplicates included, E[m] = 1), but a duplicate teaches less than a fresh
visitor: the distinct decisions learned from are about 63% of them
("poisson"; "half" learns no decision twice).
"""

from __future__ import annotations

import hashlib
import math

from sorvane_cli.evaluation.longrun import LongRun, _Peeked

BAGS = ("poisson", "half")
_TWO_POW_MINUS_53 = 2.0 ** -53
_EXP_MINUS_1 = math.exp(-1.0)


def bag_uniform(seed, decision_id, replay):
    """The uniform number in [0, 1) that sets the decision's multiplicity in
    one replay: a hash of its own, so it is independent of the acceptance draw."""
    key = f"{seed}\0{replay}\0{decision_id}".encode("utf-8", "surrogatepass")
    digest = hashlib.blake2b(key, digest_size=8, person=b"bagged").digest()
    return (int.from_bytes(digest, "little") >> 11) * _TWO_POW_MINUS_53


def multiplicity(bag, u):
    """How many times a decision is learned from, from its uniform u."""
    if bag == "half":
        return 1 if u < 0.5 else 0
    # Poisson(1) by its inverse distribution function.
    k, p = 0, _EXP_MINUS_1
    cumulative = p
    while u >= cumulative and k < 20:
        k += 1
        p /= k
        cumulative += p
    return k


class BaggedLongRun(LongRun):
    """One target's replay learning from its replay's resample of the log."""

    def __init__(self, target, scale, state, bag):
        super().__init__(target, scale, state)
        self.bag = bag
        self._multiplicity = 1
        # Decisions accepted whose multiplicity was 0: offered, not learned from.
        self.dropped = 0

    def _explore(self, estimates, epsilon):
        steer = super()._explore(estimates, epsilon)
        self._copies *= self._multiplicity
        if not self._copies:
            self.dropped += 1
            raise _Peeked
        return steer

    def bagged_decision(self, multiplicity, decision_id, u, context, candidates, t, salt, chosen, propensity, rhat):
        """Offers the logged decision, learned from `multiplicity` times if accepted."""
        self._multiplicity = multiplicity
        self.decision(decision_id, u, context, candidates, t, salt, chosen, propensity, rhat)
