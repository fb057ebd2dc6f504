"""The estimators' sums are exactly rounded: the same log gives the same bits
whichever order its terms arrive in, and the paired long-run comparison
behaves as a difference should."""
import math
import random
from array import array
from fractions import Fraction

import pytest

from sorvane_cli.evaluation.arithmetic import exact_sum, fsum
from sorvane_cli.evaluation.estimators import Terms, bootstrap_intervals, point_estimates, running_estimates
from sorvane_cli.evaluation.longrun import difference, recommendation


def _rows(n, seed):
    rng = random.Random(seed)
    return [(i, rng.choice([0.0, 1.0, rng.random() * 4]), rng.choice([0.0, 1.0, rng.gauss(0, 1)]),
             rng.gauss(0, 1), rng.gauss(0, 1)) for i in range(n)]


def _replays(n, replays, seed, shift=0.0):
    rng = random.Random(seed)
    return [array("d", [rng.gauss(shift, 1.0) for _ in range(n)]) for _ in range(replays)]


@pytest.mark.parametrize("values", [[], [0.1] * 10, [1e16, 1.0, -1e16], [-0.0], [1.5, math.inf],
                                    [random.Random(1).uniform(-1e6, 1e6) for _ in range(5000)]],
                         ids=["none", "tenths", "cancelling", "minus zero", "inf", "many"])
def test_exact_sum_is_the_correctly_rounded_sum(values):
    import numpy as np

    got = exact_sum(np.array(values, dtype=np.float64))
    if all(math.isfinite(v) for v in values):
        assert got == float(sum(map(Fraction, values), Fraction(0)))
    assert got == math.fsum(values) or (math.isnan(got) and math.isnan(math.fsum(values)))


@pytest.mark.parametrize("n", [1, 2, 300, 4000])
def test_the_estimates_are_the_same_bits_whichever_order_the_terms_arrive_in(n):
    rows = _rows(n, n)
    in_order = Terms()
    in_order.extend(*(array(code, column) for code, column in zip("qdddd", zip(*rows))))
    shuffled = list(rows)
    random.Random(7).shuffle(shuffled)
    one_by_one = Terms()
    for row in shuffled:
        one_by_one.add(*row)
    for terms in (in_order, one_by_one):
        # Counted twice, to see the columns kept between the statistics serve as well.
        assert point_estimates(terms) == point_estimates(in_order)
        assert bootstrap_intervals(terms, 200, 3) == bootstrap_intervals(in_order, 200, 3)
        assert running_estimates(terms, 9) == running_estimates(in_order, 9)
    assert list(one_by_one.seq) == list(range(n))


def test_the_running_estimates_are_the_sums_so_far():
    rows = _rows(1000, 2)
    terms = Terms()
    for row in rows:
        terms.add(*row)
    for k, estimates in running_estimates(terms, 7):
        wr = w = 0.0
        for _, wi, ri, _, _ in rows[:k]:
            wr += wi * ri
            w += wi
        assert estimates["ips"] == wr / k and estimates["snips"] == wr / w


@pytest.mark.parametrize("replays", [1, 3])
def test_the_paired_difference_is_antisymmetric_and_blind_to_the_decisions_order(replays):
    a, b = _replays(2000, replays, 1, 0.1), _replays(2000, replays, 2)
    mean, error = difference(a, b)
    assert mean > 0 and 0 < error < 0.1
    assert difference(b, a) == (-mean, error)
    assert difference(a, a) == (0.0, 0.0)
    order = list(range(2000))
    random.Random(3).shuffle(order)
    moved = [[array("d", [t[i] for i in order]) for t in terms] for terms in (a, b)]
    assert difference(*moved) == (mean, error)


@pytest.mark.parametrize("b", [[], [array("d", [1.0])], [array("d", [1.0, 2.0])] * 2],
                         ids=["no replay", "fewer terms", "more replays"])
def test_terms_that_cannot_be_paired_have_no_difference(b):
    mean, error = difference([array("d", [1.0, 2.0])], b)
    assert math.isnan(mean) and math.isnan(error)


def test_the_recommendation_names_a_clear_winner_and_ties_twins():
    clear = recommendation(["low", "high"], {"low": _replays(3000, 3, 1), "high": _replays(3000, 3, 1, 1.0)})
    assert clear["winner"] == clear["best"] == "high" and clear["tied"] == []
    twins = _replays(3000, 3, 4)
    tied = recommendation(["one", "two"], {"one": twins, "two": [array("d", t) for t in twins]})
    assert tied["winner"] is None and tied["tied"] == tied["close"] == ["two"] and tied["more_data"] is None


def test_terms_past_the_float_range_give_inf_or_nan_without_a_warning(recwarn):
    terms = Terms()
    for i in range(300):
        terms.add(i, 1e200, 1e200 if i % 3 else 1.0, 0.0, 0.0)
    points, _ = point_estimates(terms)
    boot, _ = bootstrap_intervals(terms, 50, 1)
    running = running_estimates(terms, 4)
    assert points["ips"][0] == math.inf and math.isnan(points["ips"][1])
    assert boot["ips"] == (math.nan, math.nan) or not all(map(math.isfinite, boot["ips"]))
    assert running[-1][1]["ips"] == math.inf
    assert not [w for w in recwarn.list if issubclass(w.category, RuntimeWarning)]


@pytest.mark.parametrize("values, expected", [
    ([1e308, 1e308, -1e308], 1e308),           # partial sums past the float range, the sum inside it
    ([1e308, 1e308], math.inf),                # the sum itself past it
    ([-1e308, -1e308, 5.0], -math.inf),
    ([math.inf, 1.0, -math.inf], math.nan),    # as inf - inf
    ([0.1] * 10, 1.0),
])
def test_fsum_gives_what_float_arithmetic_gives_where_math_fsum_raises(values, expected):
    got = fsum(values)
    assert (math.isnan(got) and math.isnan(expected)) or got == expected
