"""What the log itself fixes of the configuration it was written with.

Every decision line carries the state's bits. Every expired resolution
carries the state's default reward. And the built-in rule gives each of the
n candidates epsilon / n and shares the rest among the best, so a logged
propensity is epsilon / n or (1 - epsilon) / k + epsilon / n for some number
k of ties: a handful of decisions pins epsilon down to the bit. Horizon and
forgetfulness leave no such trace.

The look is at the log's head only (`HEAD_LINES`), which costs no second
read: the lines are kept and read again by the command.
"""
import math
import struct
from collections import Counter

from sorvane_cli.log.header import HeaderLine
from sorvane_cli.log.lines import DecisionLine, ResolutionLine, event_of
from sorvane_cli.log.values import same_float
from sorvane_cli.policy import builtin_propensities

HEAD_LINES = 8192
HEAD_BYTES = 64 << 20
# Candidate epsilons come from the most common (n, propensity) pairs; the
# built-in rule makes at most n + 1 distinct ones for each n.
_SEEDS = 16
_SCORED = 256
_ULPS = 4


def _raw_candidates(n, p):
    """Epsilons that could have given propensity p to one of n candidates."""
    yield p * n  # a candidate outside the ties: p = epsilon / n
    for k in range(1, n):  # one of k tied best: p = 1/k + epsilon (1/n - 1/k)
        yield (p - 1.0 / k) / (1.0 / n - 1.0 / k)


def _near(e):
    """e and its neighbours a few steps away, within [0, 1]."""
    out = [e]
    up = down = e
    for _ in range(_ULPS):
        up, down = math.nextafter(up, 2.0), math.nextafter(down, -1.0)
        out += [up, down]
    # -0.0 gives the same probabilities as 0.0, but a state of its own bits.
    return [x if x != 0.0 else 0.0 for x in out if 0.0 <= x <= 1.0]


class Head:
    """What the head of one log fixes: bits, default reward, epsilon, and
    the header's configuration if the log has one."""

    def __init__(self):
        self.header = None
        self.bits = None
        self.bits_line = None
        self.default_reward = None
        self.default_reward_line = None
        # the bits of each expired resolution's reward -> (count, first line)
        self._expired = {}
        self.decisions = 0
        # (n, propensity bits) -> count, for decisions of two or more candidates
        self._pairs = Counter()
        self._epsilon = ()

    def add(self, ev):
        kind = type(ev)
        if kind is DecisionLine:
            self.decisions += 1
            if self.bits is None:
                self.bits, self.bits_line = ev.bits, ev.lineno
            n, p = len(ev.candidates), ev.record["propensity"]
            if n >= 2 and 0.0 < p <= 1.0:
                self._pairs[n, p] += 1
        elif kind is ResolutionLine:
            if ev.kind == "expired" and ev.reward is not None:
                key = struct.pack("<d", ev.reward)
                count, line = self._expired.get(key, (0, ev.lineno))
                self._expired[key] = (count + 1, line)
                # The reward most expired resolutions carry, so one damaged line does not decide it.
                best = self._expired.get(struct.pack("<d", self.default_reward), (0, 0))[0] \
                    if self.default_reward is not None else 0
                if count + 1 > best:
                    self.default_reward, self.default_reward_line = ev.reward, line
        elif kind is HeaderLine:
            self.header = ev

    def explained(self, epsilon):
        """How many of the head's decisions the built-in rule with this
        epsilon can have made (of those with two or more candidates)."""
        count = 0
        by_n = {}
        for (n, p), times in self._pairs.items():
            values = by_n.get(n)
            if values is None:
                values = by_n[n] = builtin_propensities(epsilon, n)
            if p in values:
                count += times
        return count

    @property
    def candidate_counts(self):
        """The numbers of candidates of the head's decisions (of two or more)."""
        return sorted({n for n, _ in self._pairs})

    @property
    def judged(self):
        """The decisions the epsilon is judged on: those with two or more candidates."""
        return sum(self._pairs.values())

    def epsilon(self):
        """(epsilon, decisions it explains) for the epsilon that explains
        most of the head's decisions, or None when none explains any. Of
        epsilons that explain as many, the one written shortest."""
        if self._epsilon != ():
            return self._epsilon
        candidates = set()
        for (n, p), _ in self._pairs.most_common(_SEEDS):
            for raw in _raw_candidates(n, p):
                if math.isfinite(raw):
                    candidates.update(_near(raw))
        by_n = {}
        for (n, p), times in self._pairs.most_common(_SCORED):
            by_n.setdefault(n, []).append((p, times))
        best = None
        for e in candidates:
            count = 0
            for n, pairs in by_n.items():
                values = builtin_propensities(e, n)
                count += sum(times for p, times in pairs if p in values)
            # Ties (epsilons the head cannot tell apart) go to the shortest
            # text, then the largest: an all-equal 1 / n is epsilon 1 far
            # more likely than epsilon 0 with every estimate tied.
            key = (count, -len(repr(e)), e)
            if count and (best is None or key > best[0]):
                best = (key, e)
        if best is None:
            self._epsilon = None
        else:
            e = best[1]
            self._epsilon = (e, self.explained(e))
        return self._epsilon

    def same_default_reward(self, value):
        """Whether as many expired resolutions carry `value` as the most common reward."""
        if self.default_reward is None or same_float(value, self.default_reward):
            return True
        best = self._expired[struct.pack("<d", self.default_reward)][0]
        return self._expired.get(struct.pack("<d", value), (0, 0))[0] >= best


def read_head(source):
    """The Head of a LogSource, from its first lines (kept for the command)."""
    head = Head()
    for lineno, line in source.peek(HEAD_LINES, HEAD_BYTES):
        head.add(event_of(lineno, line, source.max_line_bytes))
    return head
