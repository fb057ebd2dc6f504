"""Comparing values the log carries with the values a replay makes."""
import math


def same_float(a, b):
    """Bit-for-bit equality as the log can carry it: NaN equals NaN (the
    log keeps no payload), and -0.0 differs from 0.0."""
    if a == b:
        return a != 0.0 or math.copysign(1.0, a) == math.copysign(1.0, b)
    return a != a and b != b


def same_features(logged, replayed):
    """A logged feature list against a replayed one: the same indices, and
    values equal as `same_float` compares them."""
    if len(logged) != len(replayed):
        return False
    for (i, v), (j, w) in zip(logged, replayed):
        if i != j or not same_float(float(v), w):
            return False
    return True
