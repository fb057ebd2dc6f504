"""The long-run replay: what a learning target earns over a run as long as
the log allows (nonstationary doubly robust replay).

Every logged decision is offered to the target: one `decide` on its state
whose `explore` callable reads the built-in probabilities pi off the
target's estimates, draws the acceptance below, and either steers the
decision to the logged choice (accepted: the ledger then holds it, and
`learn` trains the target on the logged outcome) or raises, which leaves
the state as it was. The decision contributes the doubly robust term

    sum_a pi(a) rhat(a) + pi(a_log) / p_log (r - rhat(a_log))

where rhat is the log's reward model (reward_model.py). The term is
unbiased for what the target, as it stands, would earn on that visitor.
The target itself learns only from the decisions it accepts, each with
probability min(1, c pi(a_log) / p_log), drawn from a uniform number that
depends only on the seed, the replay and the decision's id: so the
decisions it learns from are close to those it would have chosen, and its
state at each decision is that of a run of its own after about as many
decisions as it accepted so far. The mean of the terms therefore stands for
a run as long as the number of decisions accepted, which c sets: the larger
c, the longer the run, and the more often the acceptance is cut at 1, where
the target learns from the logging state's choices more than from its own.
With `repeat`, a decision whose c pi / p is past 1 is learned from that
many times instead (the fraction by the same draw), so the decisions learned
from follow c pi exactly, at the price of learning some of them repeatedly.

Replays with their own draws take different paths; the estimate is their
mean, and its standard error holds both the spread of the terms (shared by
all replays: one log) and the spread between the paths.
"""
import math
from array import array

import numpy as np
import sorvane

from sorvane_cli.evaluation.arithmetic import exact_sum, float_arithmetic, fsum
from sorvane_cli.evaluation.rejection import t_975
from sorvane_cli.policy import builtin_probabilities

_NAN, _INF = math.nan, math.inf
Z_95 = 1.959963984540054
# The acceptance scale, and whether a decision accepted past 1 is learned
# from that many times (see LongRun): chosen by the click-world bench
# (bench/bench_eval_longrun.py).
DEFAULT_SCALE = 0.3
DEFAULT_REPEAT = False
# How far apart, as a share of the best estimate, two configurations must be
# before the replay tells them apart: the target learns from the log's
# decisions, not its own, and on the bench that moved the estimates of
# configurations by amounts their intervals did not show.
MARGIN = 0.05
# What the estimates do and do not hold, said beside every long-run table.
CAVEAT = ("the intervals hold the log's noise and the spread between replays, not what learning from the logged "
          f"decisions instead of its own does to a target's path, which moved estimates by up to about {MARGIN:.0%} "
          "on simulated logs; a deployment much longer than the run length may rank configurations otherwise")


class _Peeked(Exception):
    """Ends a peeking `decide`: the target's state stays as it was."""


class LongRun:
    """One target's replay: its state, and the sums of its terms."""

    __slots__ = (
        "_chosen",
        "_copies",
        "_probabilities",
        "_propensity",
        "_score",
        "_steer",
        "_u",
        "accepted",
        "count",
        "cut",
        "pending",
        "repeat",
        "scale",
        "model",
        "offered",
        "state",
        "target",
        "terms",
        "total",
        "total_sq",
        "train",
    )

    def __init__(self, target, scale, state, repeat=False):
        self.target = target
        self.scale = scale
        # Past 1, learn from the decision that many times (the fraction by the draw) instead of cutting at 1.
        self.repeat = repeat
        self.state = state
        # A joint target's model (its own per replay), and the taps it adds to decide and learn.
        self.model = target.new_model(target.bits)
        self._score = {} if self.model is None else {"score": self.model.score}
        self.train = None if self.model is None else self.model.train
        self.count = 0
        self.total = 0.0
        self.total_sq = 0.0
        self.offered = 0
        self.accepted = 0
        self.cut = 0
        # logged decision id -> (direct part, pi / p, rhat of the logged choice, the target's own id or None)
        self.pending = {}
        self._probabilities = None
        self._steer = {}
        # Every term in resolution order: the paired comparison of two targets reads them.
        self.terms = array("d")

    def _explore(self, estimates, epsilon):
        # The target's probabilities, and the acceptance drawn from them: an
        # accepted decision is committed steered to the logged choice, one
        # refused ends the `decide` and leaves the state as it was.
        if self.model is None:
            pi = self._probabilities = builtin_probabilities(estimates, epsilon)
        else:
            pi = self._probabilities = self.model.explore(estimates, epsilon)
        ratio = self.scale * pi[self._chosen] / self._propensity
        if ratio > 1.0:
            self.cut += 1
        u = self._u
        if self.repeat and ratio > 1.0:
            whole = math.floor(ratio)
            self._copies = whole + (1 if u < ratio - whole else 0)
        else:
            self._copies = 1 if u < ratio else 0
        if not self._copies:
            raise _Peeked
        n = len(estimates)
        steer = self._steer.get((n, self._chosen))
        if steer is None:
            steer = self._steer[n, self._chosen] = [1.0 if k == self._chosen else 0.0 for k in range(n)]
        return steer

    def decision(self, decision_id, u, context, candidates, t, salt, chosen, propensity, rhat):
        """Offers the logged decision to the target; raises what `decide` raises."""
        self._probabilities = None
        self._chosen, self._propensity, self._u = chosen, propensity, u
        self.offered += 1
        own = None
        try:
            own = [sorvane.decide(self.state, context, candidates, t, salt, explore=self._explore,
                                  **self._score).decision_id]
        except _Peeked:
            pass
        if own is not None and self._copies > 1:
            steer = self._steer[len(candidates), chosen]
            own += [sorvane.decide(self.state, context, candidates, t, salt, explore=lambda e, eps: steer,
                                  **self._score).decision_id for _ in range(self._copies - 1)]
        if own is not None:
            self.accepted += len(own)
        pi = self._probabilities
        direct = 0.0
        for p, r in zip(pi, rhat):
            direct += p * r
        self.pending[decision_id] = (direct, pi[chosen] / propensity, rhat[chosen], own)

    def resolution(self, decision_id, kind, reward):
        """Counts the decision's term and teaches the target when it accepted
        it. Returns whether the decision was offered."""
        entry = self.pending.pop(decision_id, None)
        if entry is None:
            return False
        direct, weight, rhat_chosen, own = entry
        if own is not None:
            for own_id in own:
                if kind == "rewarded":
                    sorvane.learn(self.state, own_id, reward, _NAN, train=self.train)
                else:
                    sorvane.learn(self.state, own_id, self.target.default_reward, _INF, train=self.train)
        if math.isfinite(reward):
            term = direct + weight * (reward - rhat_chosen)
            self.count += 1
            self.total += term
            self.total_sq += term * term
            self.terms.append(term)
        return True

    def mean(self):
        return self.total / self.count if self.count else _NAN

    def variance(self):
        """The sample variance of the terms."""
        if self.count < 2:
            return _NAN
        m = self.mean()
        return max(self.total_sq - self.count * m * m, 0.0) / (self.count - 1)


def summary(runs):
    """Estimate, standard error, 95% interval and run length of one target
    over its replays."""
    means = [run.mean() for run in runs]
    r = len(means)
    count = runs[0].count
    if not count:
        return {"estimate": _NAN, "stderr": _NAN, "ci": [_NAN, _NAN], "replays": r, "replay_estimates": means,
                "terms": 0, "run_length": 0, "accepted_share": _NAN, "cut_share": _NAN}
    estimate = fsum(means) / r
    # The terms' own spread (one log for every replay) and the paths' spread.
    within = fsum([run.variance() for run in runs]) / r / count
    between = fsum([(m - estimate) ** 2 for m in means]) / (r - 1) / r if r >= 2 else 0.0
    error = math.sqrt(within + between) if math.isfinite(within) else _NAN
    # Student's t over the replays when their spread is most of the error:
    # it is then estimated from a few replays alone.
    half = (t_975(r - 1) if r >= 2 and between > within else Z_95) * error
    accepted = fsum([run.accepted for run in runs]) / r
    # Shares of the decisions offered, resolved or not: an accepted decision
    # that never resolved is still one the target made.
    offered = runs[0].offered
    return {"estimate": estimate, "stderr": error, "ci": [estimate - half, estimate + half], "replays": r,
            "replay_estimates": means, "terms": count, "run_length": round(accepted),
            "accepted_share": accepted / offered, "cut_share": fsum([run.cut for run in runs]) / r / offered}


class _Replays:
    """One target's terms, replay by replay, as float64 arrays (no copy of
    an array('d')), with each replay's exactly rounded sum."""

    __slots__ = ("arrays", "count", "sums")

    def __init__(self, terms):
        self.arrays = [np.ascontiguousarray(t, dtype=np.float64) for t in terms]
        self.count = len(self.arrays[0]) if self.arrays else 0
        self.sums = [exact_sum(a) for a in self.arrays]

    def estimate(self):
        """The mean of the replays' means."""
        count = self.count
        return fsum([s / count for s in self.sums]) / len(self.sums) if count else _NAN

    def pairs_with(self, other):
        """Whether the two can be paired: as many replays, and every replay as many terms."""
        return (bool(self.count) and len(self.arrays) == len(other.arrays)
                and all(len(a) == self.count for a in (*self.arrays, *other.arrays)))


def difference(terms_a, terms_b):
    """(mean, standard error) of target a's terms less target b's, paired
    decision by decision and replay by replay (one term array per replay):
    the log's luck, shared by both, drops out."""
    return _difference(_Replays(terms_a), _Replays(terms_b))


def _difference(a, b):
    if not a.pairs_with(b):
        return _NAN, _NAN
    r, count = len(a.arrays), a.count
    per_replay = [(sa - sb) / count for sa, sb in zip(a.sums, b.sums)]
    mean = fsum(per_replay) / r
    # The spread of the per-decision differences, averaged over the replays
    # (added up replay by replay, in their order).
    with float_arithmetic():
        d = np.zeros(count)
        for x, y in zip(a.arrays, b.arrays):
            d += x - y
        d /= r
        total, total_sq = exact_sum(d), exact_sum(d * d)
    within = max(total_sq - total * total / count, 0.0) / (count - 1) / count if count > 1 else 0.0
    between = fsum([(x - mean) ** 2 for x in per_replay]) / (r - 1) / r if r >= 2 else 0.0
    return mean, math.sqrt(within + between)


def recommendation(names, terms_by_name, margin=MARGIN):
    """The configuration to run, when the log can tell it from every other.

    `terms_by_name` gives each name's term arrays, one per replay. Returns
    {"winner": name or None, "best": the highest estimate's name, "tied":
    [names whose paired 95% interval against the best reaches within
    `margin` x the best estimate], "close": [those of them whose estimate
    is that close: no longer log tells them apart], "more_data": about how
    many times the log's decisions would tell the best from the others of
    them, or None}.
    """
    replays = {name: _Replays(terms_by_name[name]) for name in names}
    estimates = {name: replays[name].estimate() for name in names}
    usable = [name for name in names if math.isfinite(estimates[name])]
    if not usable:
        return {"winner": None, "best": None, "tied": [], "close": [], "more_data": None}
    best = max(usable, key=lambda name: estimates[name])
    tied, close, factor = [], [], None
    least = margin * abs(estimates[best])
    for name in usable:
        if name == best:
            continue
        mean, error = _difference(replays[best], replays[name])
        if not (mean - Z_95 * error > least):
            tied.append(name)
            if not mean > least:
                close.append(name)
                continue
            # The standard error falls with the square root of the decisions.
            need = (Z_95 * error / (mean - least)) ** 2
            factor = need if factor is None else max(factor, need)
    return {"winner": None if tied else best, "best": best, "tied": tied, "close": close, "more_data": factor}
