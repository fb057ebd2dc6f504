"""A scratch state that shows which candidate a logged feature list belongs to.

The hashed features of a candidate depend on the inputs and the bits alone,
so a state of the same bits that has learned nothing gives them as well as
the host's. Its decisions stay pending and it is made anew now and then, so
its model is only read and keeps to the zero pages the system lends it.
"""
import sorvane

from sorvane_cli.log.values import same_features

_DECISIONS_PER_STATE = 1024


class ScratchModel:
    """A state of given bits that only ever decides. Its decisions stay
    pending rather than train it: a model that is only read keeps to the
    zero pages the system lends it, even at 24 bits. It is made anew every
    1024 decisions, and whenever the bits change."""

    def __init__(self):
        self._state = None
        self._bits = None
        self._decisions = 0

    def state(self, bits):
        if self._bits != bits or self._decisions >= _DECISIONS_PER_STATE:
            self._state = None  # the old one goes before the new one comes
            self._state = sorvane.create(bits, 1.0)
            self._bits = bits
            self._decisions = 0
        return self._state

    def decided(self):
        """Counts one decision made on the state."""
        self._decisions += 1


class ScratchState:
    def __init__(self):
        self._model = ScratchModel()

    def owner_of(self, ev, context, candidates):
        """The position of the candidate whose hashed features are the
        logged ones, the logged chosen first; None when none is, or the
        line's features cannot be read."""
        try:
            logged = ev.parsed_features()
            state = self._model.state(ev.bits)
        except (ValueError, TypeError, OverflowError, RecursionError):
            return None
        chosen = ev.record["chosen"]
        n = len(candidates)
        order = ([chosen] if 0 <= chosen < n else []) + [k for k in range(n) if k != chosen]
        for k in order:
            only = [1.0 if j == k else 0.0 for j in range(n)]
            try:
                record = sorvane.decide(state, context, candidates, 0.0, "", explore=lambda e, eps: only)
            except (ValueError, TypeError, OverflowError):
                return None
            self._model.decided()
            try:
                if same_features(logged, record.features):
                    return k
            except (TypeError, ValueError, OverflowError):
                return None
        return None
