"""Off-policy estimators over the resolved decisions of a log.

For decision i the log gives the probability p_i with which the logging
policy drew its choice a_i and the reward r_i; the target gives its own
probability pi_i(a) of every candidate and its model's estimates q_i(a),
both from before it learned from decision i. With w_i = pi_i(a_i) / p_i:

- IPS:   mean of w_i r_i
- SNIPS: sum of w_i r_i over sum of w_i
- DR:    mean of sum_a pi_i(a) q_i(a) + w_i (r_i - q_i(a_i))

Standard errors treat the terms as independent (the SNIPS one by the delta
method); intervals are the normal approximation and a percentile bootstrap.
"""
import math
import random
from array import array

import numpy as np

from sorvane_cli.evaluation.arithmetic import exact_sum, float_arithmetic, fsum

Z_95 = 1.959963984540054
ESTIMATORS = ("ips", "snips", "dr")
NAMES = {"ips": "IPS", "snips": "SNIPS", "dr": "DR"}
# The bootstrap resamples at most this many blocks of consecutive decisions.
MAX_BLOCKS = 256


class Terms:
    """The per-decision quantities of one target.

    They arrive in resolution order, which a host may batch (all clicks of a
    minute, then everything that expired); every statistic reads them in
    decision order, so the bootstrap's blocks are runs of consecutive
    decisions and the running estimates follow the log.
    """

    __slots__ = ("seq", "w", "r", "dm", "q", "_sorted", "_last", "_columns")

    def __init__(self):
        # Packed: a long log keeps five numbers per decision and target.
        self.seq = array("q")  # position of the decision in the log
        self.w = array("d")    # pi(a_i) / p_i
        self.r = array("d")    # logged reward
        self.dm = array("d")   # sum over candidates of pi(a) q(a)
        self.q = array("d")    # q(a_i)
        self._sorted = True
        self._last = -1
        # (number of terms, columns) once computed: read by every statistic.
        self._columns = (0, None)

    def add(self, seq, w, r, dm, q):
        if seq < self._last:
            self._sorted = False
        self._last = seq
        self.seq.append(seq)
        self.w.append(w)
        self.r.append(r)
        self.dm.append(dm)
        self.q.append(q)

    def extend(self, seq, w, r, dm, q):
        """Many terms at once, as arrays of the columns' types, in resolution order."""
        if len(seq):
            positions = np.asarray(seq, dtype=np.int64)
            if positions[0] < self._last or bool((positions[1:] < positions[:-1]).any()):
                self._sorted = False
            self._last = int(positions[-1])
            # Let go of the view before the arrays grow.
            del positions
        self.seq.extend(seq)
        self.w.extend(w)
        self.r.extend(r)
        self.dm.extend(dm)
        self.q.extend(q)

    def __len__(self):
        return len(self.w)

    def _in_decision_order(self):
        if not self._sorted:
            # Stable: decisions resolved at one position keep their order.
            order = np.argsort(np.asarray(self.seq), kind="stable")
            for name in ("seq", "w", "r", "dm", "q"):
                column = getattr(self, name)
                ordered = array(column.typecode)
                ordered.frombytes(np.asarray(column)[order].tobytes())
                setattr(self, name, ordered)
            self._sorted = True

    def columns(self):
        """The summed columns in decision order, as float64 arrays: w r, w,
        and the DR term (each product and difference rounded as Python
        rounds it)."""
        count, columns = self._columns
        if columns is None or count != len(self.w):
            self._in_decision_order()
            # Copies: the packed arrays must stay free to grow.
            w, r, dm, q = (np.array(column, dtype=np.float64) for column in (self.w, self.r, self.dm, self.q))
            with float_arithmetic():
                columns = w * r, w, dm + w * (r - q)
            self._columns = (len(self.w), columns)
        return columns

    def rewards(self):
        """The logged rewards in decision order, as a float64 array."""
        self._in_decision_order()
        return np.array(self.r, dtype=np.float64)


def _mean_and_error(values):
    n = len(values)
    mean = exact_sum(values) / n
    if n < 2 or not math.isfinite(mean):
        return mean, math.nan
    deviations = values - mean
    var = exact_sum(deviations * deviations) / (n - 1)
    return mean, math.sqrt(var / n)


def point_estimates(terms):
    """{estimator: (estimate, standard error)} and the effective sample size."""
    n = len(terms)
    if n == 0:
        return {name: (math.nan, math.nan) for name in ESTIMATORS}, 0.0
    wr, w, dr = terms.columns()
    with float_arithmetic():
        sum_w = exact_sum(w)
        sum_w2 = exact_sum(w * w)
        out = {"ips": _mean_and_error(wr), "dr": _mean_and_error(dr)}
        if sum_w > 0:
            snips = exact_sum(wr) / sum_w
            spread_terms = w * (terms.rewards() - snips)
            spread = exact_sum(spread_terms * spread_terms)
            out["snips"] = (snips, math.sqrt(spread) / sum_w)
        else:
            out["snips"] = (math.nan, math.nan)
    ess = sum_w * sum_w / sum_w2 if sum_w2 > 0 else 0.0
    return out, ess


def normal_interval(estimate, error):
    return (estimate - Z_95 * error, estimate + Z_95 * error)


def _percentile(sorted_values, q):
    if not sorted_values:
        return math.nan
    pos = q * (len(sorted_values) - 1)
    lo = math.floor(pos)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (pos - lo)


def _draws(resamples, seed, blocks):
    """The block picks of every resample: a (resamples, blocks) array of
    block indices."""
    rng = random.Random(seed)
    if blocks == MAX_BLOCKS:
        # One random byte is one uniform block index.
        raw = b"".join([rng.randbytes(blocks) for _ in range(resamples)])
        return np.frombuffer(raw, dtype=np.uint8).reshape(resamples, blocks)
    # Multiply-shift of 32 random bits: the bias, under blocks / 2**32, is
    # far below the bootstrap's own noise.
    raw = b"".join([rng.randbytes(4 * blocks) for _ in range(resamples)])
    bits = np.frombuffer(raw, dtype=np.uintc).astype(np.uint64)
    return ((bits * blocks) >> 32).reshape(resamples, blocks)


def _block_sums(column, bounds):
    """The exactly rounded sum of each block of a column."""
    values = column.tolist()
    return np.array([fsum(values[bounds[k]:bounds[k + 1]]) for k in range(len(bounds) - 1)])


def _resampled(block_sums, picks):
    """Each resample's sum of its picked blocks' sums, added one after
    another from 0.0 (the + 0.0 turns a sum of -0.0 alone into 0.0)."""
    return np.cumsum(block_sums[picks], axis=1)[:, -1] + 0.0


def bootstrap_intervals(terms, resamples, seed, draws=None):
    """95% percentile intervals {estimator: (low, high)} and the block count.

    Resamples non-overlapping blocks of consecutive decisions (as many blocks
    as decisions when there are at most MAX_BLOCKS, so the plain bootstrap),
    which keeps the cost at resamples x blocks whatever the log's length and
    respects the drift of a target that learns as the log goes on. The same
    seed gives every target the same resamples; `draws`, a dict, keeps them
    for the next target (by block count) so they are drawn once.
    """
    n = len(terms)
    if n == 0 or resamples <= 0:
        return {name: (math.nan, math.nan) for name in ESTIMATORS}, 0
    blocks = min(n, MAX_BLOCKS)
    wr, w, dr = terms.columns()
    bounds = [k * n // blocks for k in range(blocks + 1)]
    if draws is None:
        draws = {}
    if blocks not in draws:
        draws[blocks] = _draws(resamples, seed, blocks)
    picks = draws[blocks]
    c = np.diff(np.array(bounds, dtype=np.int64))[picks].sum(axis=1)
    with float_arithmetic():
        swr, sw, sdr = (_resampled(_block_sums(column, bounds), picks) for column in (wr, w, dr))
        weighed = sw > 0
        samples = {"ips": (swr / c).tolist(), "snips": (swr[weighed] / sw[weighed]).tolist(),
                   "dr": (sdr / c).tolist()}
    out = {}
    for name, values in samples.items():
        if not all(math.isfinite(v) for v in values):
            out[name] = (math.nan, math.nan)
            continue
        values.sort()
        out[name] = (_percentile(values, 0.025), _percentile(values, 0.975))
    return out, blocks


def running_estimates(terms, points):
    """[(decisions so far, {estimator: estimate})] at about `points` places."""
    n = len(terms)
    if n == 0:
        return []
    step = max(1, n // points)
    at = list(range(step, n + 1, step))
    if at[-1] != n:
        at.append(n)
    # Running sums added up one decision after another, from 0.0 (which the
    # + 0.0 restores for a leading -0.0).
    index = np.array(at) - 1
    with float_arithmetic():
        s_wr, s_w, s_dr = ((np.cumsum(column)[index] + 0.0).tolist() for column in terms.columns())
    return [(k, {"ips": swr / k, "snips": swr / sw if sw > 0 else math.nan, "dr": sdr / k})
            for k, swr, sw, sdr in zip(at, s_wr, s_w, s_dr)]
