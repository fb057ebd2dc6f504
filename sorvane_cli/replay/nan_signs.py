"""The sign of a NaN, which the log does not carry.

log_line writes every NaN as the token NaN, and a reader makes it the NaN of
float("nan"), whose sign bit is clear. A decision's candidate_hash, though,
covers the bits of every hashed value, the sign of a NaN included, and the
NaN that arithmetic makes on common hardware (inf - inf, 0 * inf, NumPy's
0 / 0) has its sign bit set. A host whose features held such NaNs wrote
decision lines whose inputs, read back, hash to another candidate_hash.

`NanSigns` finds the signs that reproduce the logged candidate_hash by
deciding on a scratch state: the hash depends on the inputs and the model's
dimension alone. A host computes a feature of one name the same way every
time, so a sign is sought per feature name (of the context, or of the
candidates): first the signs that worked last, then all clear, all set, and,
for up to `MAX_SEARCHED` names, every other mix.
"""
import itertools
import math

import sorvane

from sorvane_cli.replay.scratch import ScratchModel

MAX_SEARCHED = 8
_NEGATIVE_NAN = -math.nan


def _is_nan(value):
    return type(value) is float and value != value


def _features_of(candidate):
    """The feature dict of an (id, features) pair, or None for anything else
    a damaged log may hold there."""
    if type(candidate) is tuple and len(candidate) == 2 and type(candidate[1]) is dict:
        return candidate[1]
    return None


def nan_names(context, candidates):
    """The features whose value, as a reader made it, is NaN, in a fixed
    order: ("context", name) and ("candidate", name) pairs."""
    # Of the values JSON gives, only a NaN differs from itself.
    names = {("context", k) for k, v in context.items() if v != v}
    for c in candidates:
        features = _features_of(c)
        if features is not None:
            names.update(("candidate", k) for k, v in features.items() if v != v)
    return sorted(names, key=repr)


def _negated(features, names):
    """`features` with the NaNs of `names` negative: a copy if any is there."""
    if not any(_is_nan(features.get(name)) for name in names):
        return features
    return {k: _NEGATIVE_NAN if k in names and _is_nan(v) else v for k, v in features.items()}


def _with_signs(context, candidates, negative):
    in_context = {name for scope, name in negative if scope == "context"}
    in_candidates = {name for scope, name in negative if scope == "candidate"}
    if in_context:
        context = _negated(context, in_context)
    if in_candidates:
        candidates = [c if _features_of(c) is None else (c[0], _negated(c[1], in_candidates)) for c in candidates]
    return context, candidates


class NanSigns:
    """The NaN signs of one replay: its scratch state, and the signs found last."""

    def __init__(self):
        self._scratch = ScratchModel()
        # The names whose NaNs were negative when signs last had to be found.
        self._negative = frozenset()

    def _choices(self, names):
        yield frozenset(n for n in names if n in self._negative)
        yield frozenset()
        yield frozenset(names)
        if len(names) <= MAX_SEARCHED:
            for size in range(1, len(names)):
                for chosen in itertools.combinations(names, size):
                    yield frozenset(chosen)

    def restore(self, bits, context, candidates, t, salt, logged_hash):
        """The inputs with the NaN signs that give `logged_hash`, or the
        inputs as they are when no choice does."""
        names = nan_names(context, candidates)
        if not names:
            return context, candidates
        try:
            state = self._scratch.state(bits)
        except (TypeError, ValueError, OverflowError):
            return context, candidates
        tried = set()
        for negative in self._choices(names):
            if negative in tried:
                continue
            tried.add(negative)
            trial = _with_signs(context, candidates, negative)
            try:
                record = sorvane.decide(state, trial[0], trial[1], t, salt)
            except (TypeError, ValueError, OverflowError):
                return context, candidates
            self._scratch.decided()
            if record.candidate_hash == logged_hash:
                self._negative = (self._negative - set(names)) | negative
                return trial
        return context, candidates
