"""The model's estimates and the built-in rule's probabilities for one
context, read without making a decision.

`decide` calls its `explore` callable with the estimates and the state's
epsilon, and a failed `decide` changes nothing: an `explore` that keeps what
it is given and then raises reads the very numbers the next `decide` would
use, and leaves the state as it was (no decision counted, nothing pending).

Ranking a slate of k candidates, best first:

    scored = estimates(state, context, candidates)
    order = sorted(range(len(candidates)), key=lambda i: scored.estimates[i], reverse=True)
    slate = [candidates[i] for i in order[:k]]

`sorted` is stable, so candidates of equal estimate keep their order, the
one the built-in rule uses when it breaks ties. With a learner's `score`
callable (the one passed to `decide`), the estimates are its own.
"""
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import sorvane

from sorvane_cli.policy import builtin_probabilities


class Estimates(NamedTuple):
    """Per candidate, in the candidates' order: the estimate and the
    probability the built-in epsilon-greedy rule gives it; and the state's
    epsilon."""

    estimates: list[float]
    probabilities: list[float]
    epsilon: float


class _Read(Exception):
    """Ends the decision once the estimates have been read."""


def estimates(state: sorvane.BanditState, context: dict[str, Any], candidates: Sequence[tuple[str, dict[str, Any]]],
              score: Callable[[Any, Any], Sequence[float]] | None = None) -> Estimates:
    """The estimates `decide(state, context, candidates, ...)` would make
    (the model's, or `score`'s when it is given) and the built-in rule's
    probabilities for them, without changing `state`.

    Bad inputs raise what `decide` raises for them; so does a failing
    `score`, or one whose estimates `decide` refuses."""
    seen: list[tuple[list[float], float]] = []

    def explore(values: list[float], epsilon: float) -> list[float]:
        seen.append((list(values), epsilon))
        raise _Read

    try:
        sorvane.decide(state, context, candidates, 0.0, "", score=score, explore=explore)
    except _Read:
        pass
    else:  # pragma: no cover - decide always calls explore when it is given
        raise RuntimeError("decide made a decision instead of asking for probabilities")
    values, epsilon = seen[0]
    return Estimates(values, builtin_probabilities(values, epsilon), epsilon)
