"""The engine's draw and its built-in epsilon-greedy rule, written out in
Python so an `explore` callable can predict, reproduce or steer a decision.

Every operation runs in the engine's order on IEEE doubles, so the values
come out bit for bit equal to the engine's own.
"""
import math

from sorvane_cli.log.values import same_float

_FNV_OFFSET = 0xCBF29CE484222325
_FNV_PRIME = 0x100000001B3
_MASK = (1 << 64) - 1
_TWO_POW_MINUS_53 = 2.0 ** -53
# The `explore` tap refuses probabilities whose sum is further from 1.
SUM_TOLERANCE = 1e-9


def draw_uniform(decision_id, salt):
    """The uniform number in [0, 1) that draws the decision with this id."""
    id_bytes = decision_id.encode("utf-8", "surrogatepass")
    h = _FNV_OFFSET
    for byte in len(id_bytes).to_bytes(8, "little") + id_bytes + salt.encode("utf-8", "surrogatepass"):
        h = ((h ^ byte) * _FNV_PRIME) & _MASK
    z = ((h ^ (h >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    key = z ^ (z >> 31)
    return (key >> 11) * _TWO_POW_MINUS_53


def builtin_probabilities(estimates, epsilon):
    """The probabilities the engine gives when no `explore` callable is passed.

    Ties of the best estimate share 1 - epsilon; everyone gets epsilon / n.
    With a NaN best estimate nothing ties (k = 0): everyone gets epsilon / n,
    which is not a distribution, and `explore` would refuse it (the engine's
    own rule divides by zero there).
    """
    return builtin_probabilities_for(estimates, (epsilon,))[0]


def builtin_probabilities_for(estimates, epsilons):
    """builtin_probabilities() for each of several epsilons, the best
    estimate and its ties found once for all of them."""
    # max() keeps the first of equal values and lets a later value replace
    # the best only when strictly greater: the engine's own scan.
    best = max(estimates)
    ties = 0 if best != best else estimates.count(best)
    n = len(estimates)
    out = []
    for epsilon in epsilons:
        base = epsilon / n
        if ties:
            top = (1.0 - epsilon) / ties + base
            out.append([top if e == best else base for e in estimates])
        else:
            out.append([base] * n)
    return out


def builtin_propensities(epsilon, n):
    """Every probability the built-in rule can give one of n candidates:
    epsilon / n outside the best, (1 - epsilon) / k + epsilon / n for one
    of k tied best."""
    base = epsilon / n
    return {base} | {(1.0 - epsilon) / k + base for k in range(1, n + 1)}


def draw(probabilities, u):
    """The position the engine draws with these probabilities and number."""
    acc = 0.0
    for i, p in enumerate(probabilities):
        acc = acc + p
        if u < acc:
            return i
    return len(probabilities) - 1


def explore_accepts(probabilities):
    """Whether the engine takes these probabilities from an `explore` callable."""
    total = 0.0
    for p in probabilities:
        if not (p >= 0.0 and p != math.inf):
            return False
        total = total + p
    return abs(total + -1.0) <= SUM_TOLERANCE


def steering_probabilities(n, chosen, propensity, u):
    """Probabilities an `explore` callable can return so that the engine's
    draw with `u` picks `chosen` with exactly `propensity`, or None when no
    accepted distribution does (the record then cannot come from a draw).

    The mass before `chosen` sits on the first candidate and the mass after
    it on the last, so the running sum passes u exactly at `chosen`.
    """
    if not (0 <= chosen < n) or not (0.0 <= propensity <= 1.0):
        return None
    probabilities = [0.0] * n
    probabilities[chosen] = propensity
    if chosen > 0:
        before = 1.0 - propensity if chosen == n - 1 else min(u, 1.0 - propensity)
        probabilities[0] = max(before, 0.0)
    if chosen < n - 1:
        acc = 0.0
        for p in probabilities[:-1]:
            acc = acc + p
        probabilities[-1] = max(1.0 - acc, 0.0)
    if not explore_accepts(probabilities) or draw(probabilities, u) != chosen:
        return None
    if not same_float(probabilities[chosen], propensity):
        return None
    return probabilities
