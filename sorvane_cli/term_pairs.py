"""The engine's feature hashing written out in Python: the terms of a context
and of a candidate, and the coordinate and sign each (context term,
candidate term) pair hashes to. It names a model's coordinates by the
features of a log; every step is the engine's, so the coordinates are exact.

A context's terms are the bias (empty text) and, per feature, "c|name=text"
for a text value or "c|name" for a number; a candidate's terms are the
bias, "a|name=text" or "a|name" per feature, and "i|id" for its identity.
A pair's key is FNV-1a 64 over the context term, the byte 0x1F and the
candidate term, through the SplitMix64 finaliser; its low `bits` bits are
the coordinate and its top bit flips the sign.
"""
from sorvane_cli.policy import _FNV_OFFSET, _FNV_PRIME, _MASK

_SEPARATOR = 0x1F
_SIGN_BIT = 1 << 63


def _number(value):
    """A feature value's weight when it is a number, else None (a text, or
    a value decide refuses)."""
    if type(value) is bool:
        return 1.0 if value else 0.0
    if isinstance(value, (int, float)):
        try:
            return float(value)
        except OverflowError:
            return None
    return None


def terms(prefix, features):
    """(term text, weight) for each feature that takes part in the hashing,
    in the engine's name order (by UTF-8 bytes, stable), which fixes the
    order colliding pairs are summed in: None is absent, and values decide
    refuses are left out."""
    out = []
    named = [(name, value) for name, value in features.items() if type(name) is str and value is not None]
    named.sort(key=lambda item: item[0].encode("utf-8", "surrogatepass"))
    for name, value in named:
        if isinstance(value, str):
            out.append((f"{prefix}{name}={value}", 1.0))
            continue
        weight = _number(value)
        if weight is not None:
            out.append((prefix + name, weight))
    return out


def context_terms(context):
    """The context's terms, the bias first."""
    return [("", 1.0)] + terms("c|", context)


def candidate_terms(candidate_id, features):
    """A candidate's terms: the bias, its features, its identity."""
    return [("", 1.0)] + terms("a|", features) + [("i|" + candidate_id, 1.0)]


def _fnv(h, data):
    for byte in data:
        h = ((h ^ byte) * _FNV_PRIME) & _MASK
    return h


class PairHasher:
    """Coordinates of (context term, candidate term) pairs at `bits`; each
    context term's hash prefix is made once and continued per candidate
    term, as the engine does."""

    def __init__(self, bits):
        self.mask = (1 << bits) - 1
        self._prefixes = {}
        self._coordinates = {}

    def key(self, context_term, candidate_term):
        prefix = self._prefixes.get(context_term)
        if prefix is None:
            prefix = _fnv(_fnv(_FNV_OFFSET, context_term.encode("utf-8", "surrogatepass")), (_SEPARATOR,))
            self._prefixes[context_term] = prefix
        h = _fnv(prefix, candidate_term.encode("utf-8", "surrogatepass"))
        z = ((h ^ (h >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
        return z ^ (z >> 31)

    def coordinate(self, context_term, candidate_term):
        """(index, sign): sign is -1.0 where the pair's value is negated."""
        found = self._coordinates.get((context_term, candidate_term))
        if found is None:
            key = self.key(context_term, candidate_term)
            found = self._coordinates[context_term, candidate_term] = (key & self.mask,
                                                                       -1.0 if key & _SIGN_BIT else 1.0)
        return found

    def vector(self, context, candidate_id, features):
        """The candidate's SparseVector, as decide makes it: pairs in
        emission order, sorted stably by index, equal indices summed left to
        right, zeros dropped."""
        pairs = []
        for c_text, c_weight in context_terms(context):
            for a_text, a_weight in candidate_terms(candidate_id, features):
                index, sign = self.coordinate(c_text, a_text)
                pairs.append((index, (c_weight if sign > 0 else -c_weight) * a_weight))
        pairs.sort(key=lambda pair: pair[0])
        merged = []
        for index, value in pairs:
            if merged and merged[-1][0] == index:
                merged[-1] = (index, merged[-1][1] + value)
            else:
                merged.append((index, value))
        return [(index, value) for index, value in merged if value != 0.0]
