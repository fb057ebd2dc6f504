"""How the estimators compute over arrays of terms: sums exactly rounded, so
that a log gives the same bits whatever the order of its terms, the machine
or the numpy build, and arithmetic as quiet as Python's floats."""
import math

import numpy as np


def exact_sum(values):
    """The exactly rounded sum of a float64 array."""
    return math.fsum(memoryview(np.ascontiguousarray(values)))


def float_arithmetic():
    """A context in which array arithmetic is as Python's float arithmetic:
    an overflow or an inf - inf gives its inf or NaN without a word."""
    return np.errstate(all="ignore")
