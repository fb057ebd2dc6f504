"""Rejection-sampling replay: each target's own online run, simulated on the log.

For every logged decision the target is asked, without changing its state,
what probability it gives the logged candidate: `decide` with an `explore`
callable that works out the built-in probabilities from the target's
estimates and then raises, and a failed `decide` changes nothing. The event
is kept with probability target_prob / (M x logged_propensity), drawn from a
uniform number that depends only on the seed and the decision's id; only a
kept event reaches the target: it decides it (the ledger holding the logged
candidate) and learns its logged outcome when the resolution comes.

With M at least target_prob / logged_propensity everywhere, every context is
kept with the same probability 1 / M and the kept choices are distributed as
the target's own, so the kept events are a run of the target online, its
exploration included, over about 1 / M of the traffic. Their mean logged
reward estimates what the target earns in such a run: unbiased for targets
that learn from their own choices, which reweighting the logging state's
choices (estimators.py) is not.

One run's mean varies with the path its learning took, which no spread
within the run shows. So several replays run side by side, each with its
own draws (they keep nearly disjoint events, 1 / M each), and the interval
is Student's t over their means: it holds the path's variation too.
"""
import hashlib
import math

import sorvane

from sorvane_cli.evaluation.arithmetic import fsum
from sorvane_cli.evaluation.estimators import Terms
from sorvane_cli.policy import builtin_probabilities, builtin_propensities

_NAN, _INF = math.nan, math.inf
_TWO_POW_MINUS_53 = 2.0 ** -53


def acceptance_uniform(seed, decision_id, replay=0):
    """The uniform number in [0, 1) that keeps or rejects the decision with
    this id in one replay, the same for every target (so their runs share
    their luck)."""
    key = f"{seed}\0{replay}\0{decision_id}".encode("utf-8", "surrogatepass")
    digest = hashlib.blake2b(key, digest_size=8).digest()
    return (int.from_bytes(digest, "little") >> 11) * _TWO_POW_MINUS_53


def bound(logging_epsilon, target_epsilons, candidate_counts):
    """The smallest M the built-in rules guarantee: the largest probability
    a target can give over the smallest the logging state can have logged,
    for every number of candidates seen."""
    best = 1.0
    for n in candidate_counts:
        logged = min(p for p in builtin_propensities(logging_epsilon, n) if p > 0.0)
        for epsilon in target_epsilons:
            best = max(best, max(builtin_propensities(epsilon, n)) / logged)
    return best


# Student's t quantile for a two-sided 95% interval, by degrees of freedom.
_T_975 = {1: 12.706, 2: 4.303, 3: 3.182, 4: 2.776, 5: 2.571, 6: 2.447, 7: 2.365, 8: 2.306, 9: 2.262, 10: 2.228,
          12: 2.179, 15: 2.131, 20: 2.086, 30: 2.042}


def t_975(df):
    """The 97.5% quantile of Student's t with `df` degrees of freedom (the
    next tabled df at or below it; the normal's expansion past 30)."""
    if df > 30:
        z = 1.959963984540054
        return z + (z ** 3 + z) / (4 * df)
    return _T_975[max(k for k in _T_975 if k <= df)]


def replay_summary(runs):
    """Estimate, standard error and 95% t interval over the mean kept
    reward of each replay of one target, with the counts."""
    means = [fsum(run.kept.r) / len(run.kept) if len(run.kept) else math.nan for run in runs]
    r = len(means)
    estimate = fsum(means) / r
    if r >= 2 and math.isfinite(estimate):
        error = math.sqrt(fsum([(m - estimate) ** 2 for m in means]) / (r - 1) / r)
        half = t_975(r - 1) * error
    else:
        error = half = math.nan
    kept = sum(len(run.kept) for run in runs)
    offered = sum(run.offered for run in runs)
    return {"estimate": estimate, "stderr": error, "ci": [estimate - half, estimate + half], "replays": r,
            "replay_estimates": means, "kept": kept, "offered": offered,
            "kept_share": kept / offered if offered else math.nan,
            "over_bound": sum(run.over_bound for run in runs)}


class _Peeked(Exception):
    """Ends a peeking `decide`: the target's state stays as it was."""


class RejectionRun:
    """One target's simulated online run: its state, and its kept events."""

    def __init__(self, target, bound_m, seed):
        self.target = target
        self.bound = bound_m
        self.seed = seed
        # Only the baseline continuing a saved state starts with one.
        self.state = None
        self.kept = Terms()
        self.offered = 0
        self.over_bound = 0
        # logged decision id -> (its position in the log, the target's own id)
        self.pending = {}
        self._probabilities = None
        self._steer = {}
        # A target's joint model (its own per run), and the taps it adds to decide and learn.
        self.model = None
        self._score = {}
        self.train = None

    def _peek(self, estimates, epsilon):
        if self.model is None:
            self._probabilities = builtin_probabilities(estimates, epsilon)
        else:
            self._probabilities = self.model.explore(estimates, epsilon)
        raise _Peeked

    def start(self, bits, state=None):
        t = self.target
        self.state = state if state is not None else sorvane.create(bits, t.horizon, t.default_reward, t.epsilon,
                                                                    t.forgetfulness)
        self.model = t.new_model(bits)
        if self.model is not None:
            self._score = {"score": self.model.score}
            self.train = self.model.train

    def decision(self, seq, decision_id, u, context, candidates, t, salt, chosen, propensity):
        """Offers the logged decision to the target; raises what `decide` raises."""
        self.offered += 1
        self._probabilities = None
        try:
            sorvane.decide(self.state, context, candidates, t, salt, explore=self._peek, **self._score)
        except _Peeked:
            pass
        ratio = self._probabilities[chosen] / (self.bound * propensity)
        if ratio > 1.0:
            self.over_bound += 1
        if not u < ratio:
            return
        n = len(candidates)
        steer = self._steer.get((n, chosen))
        if steer is None:
            steer = self._steer[n, chosen] = [1.0 if k == chosen else 0.0 for k in range(n)]
        record = sorvane.decide(self.state, context, candidates, t, salt, explore=lambda e, eps: steer,
                                **self._score)
        self.pending[decision_id] = (seq, record.decision_id)

    def resolution(self, decision_id, kind, reward):
        """Learns the outcome of a kept decision; the value counted is the
        logged reward. Returns whether the decision was kept."""
        entry = self.pending.pop(decision_id, None)
        if entry is None:
            return False
        seq, own_id = entry
        if kind == "rewarded":
            sorvane.learn(self.state, own_id, reward, _NAN, train=self.train)
        else:
            sorvane.learn(self.state, own_id, self.target.default_reward, _INF, train=self.train)
        if math.isfinite(reward):
            self.kept.add(seq, 1.0, reward, 0.0, 0.0)
        return True
