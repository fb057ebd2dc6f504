"""How the estimators compute over arrays of terms: sums exactly rounded, so
that a log gives the same bits whatever the order of its terms, the machine
or the numpy build, and arithmetic as quiet as Python's floats."""
import math

# A power of two that brings any float64's partial sums back inside the
# float range; scaling by it is exact for all but subnormal values.
_SHRINK = 2.0 ** -64
_GROW = 2.0 ** 64


def fsum(values):
    """math.fsum, as float arithmetic gives it where math.fsum raises: a sum
    whose partial sums leave the float range is summed at a smaller scale
    (inf where the sum itself is past it), and inf together with -inf is NaN.
    `values` is iterated twice at most: pass a sequence, not an iterator."""
    try:
        return math.fsum(values)
    except OverflowError:
        return math.fsum(v * _SHRINK for v in values) * _GROW
    except ValueError:  # inf and -inf
        return math.nan


def exact_sum(values):
    """The exactly rounded sum of a float64 array."""
    import numpy as np  # here, so that fsum alone does not load numpy (inspect uses it)

    return fsum(memoryview(np.ascontiguousarray(values)))


def float_arithmetic():
    """A context in which array arithmetic is as Python's float arithmetic:
    an overflow or an inf - inf gives its inf or NaN without a word."""
    import numpy as np

    return np.errstate(all="ignore")
