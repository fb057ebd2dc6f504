"""A plain, slow model of how a decision is made: feature hashing, the
epsilon-greedy rule, the draw and the candidate fingerprint, written the
obvious way so that the engine's fast paths can be checked against it."""
import struct

from float_ops import add, mul

FNV_OFFSET = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
MASK64 = (1 << 64) - 1


def fnv1a(h, data):
    for byte in data:
        h = ((h ^ byte) * FNV_PRIME) & MASK64
    return h


def finalise(h):
    z = ((h ^ (h >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def u64(v):
    return struct.pack("<Q", v)


def f64_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def feature_value(v):
    """None for an absent value, bytes for a text, a float for a number."""
    if v is None:
        return None
    if isinstance(v, str):
        return v.encode("utf-8")
    if type(v) is bool:
        return 1.0 if v else 0.0
    return float(v)


def present_in_name_order(features):
    items = [(name.encode("utf-8"), feature_value(v)) for name, v in features.items()]
    items.sort(key=lambda item: item[0])  # stable, bytewise
    return [(name, value) for name, value in items if value is not None]


def context_terms(context):
    terms = [(b"", 1.0)]
    for name, value in present_in_name_order(context):
        if isinstance(value, bytes):
            terms.append((b"c|" + name + b"=" + value, 1.0))
        else:
            terms.append((b"c|" + name, value))
    return terms


def candidate_terms(identifier, features):
    terms = [(b"", 1.0)]
    for name, value in present_in_name_order(features):
        if isinstance(value, bytes):
            terms.append((b"a|" + name + b"=" + value, 1.0))
        else:
            terms.append((b"a|" + name, value))
    terms.append((b"i|" + identifier.encode("utf-8"), 1.0))
    return terms


def hash_candidate(context, identifier, features, bits):
    pairs = []
    for c_text, c_weight in context_terms(context):
        prefix = fnv1a(FNV_OFFSET, c_text + b"\x1f")
        for a_text, a_weight in candidate_terms(identifier, features):
            key = finalise(fnv1a(prefix, a_text))
            weight = -c_weight if key >> 63 else c_weight
            pairs.append((key & ((1 << bits) - 1), mul(weight, a_weight)))
    pairs.sort(key=lambda pair: pair[0])  # stable: emission order within an index
    vector = []
    i = 0
    while i < len(pairs):
        index, total = pairs[i]
        j = i + 1
        while j < len(pairs) and pairs[j][0] == index:
            total = add(total, pairs[j][1])
            j += 1
        if total != 0.0:
            vector.append((index, total))
        i = j
    return vector


def candidate_hash(vectors, bits):
    h = fnv1a(FNV_OFFSET, u64(len(vectors)))
    for vector in vectors:
        h = fnv1a(h, u64(1 << bits) + u64(len(vector)))
        for index, value in vector:
            h = fnv1a(h, u64(index) + u64(f64_bits(value)))
    return h


def uniform(decision_id, salt):
    id_bytes = decision_id.encode("utf-8")
    seed = fnv1a(FNV_OFFSET, u64(len(id_bytes)) + id_bytes + salt.encode("utf-8"))
    return (finalise(seed) >> 11) * 2.0**-53


def epsilon_greedy(estimates, epsilon):
    n = len(estimates)
    m = estimates[0]
    for e in estimates[1:]:
        if e > m:
            m = e
    k = sum(1 for e in estimates if e == m)
    base = epsilon / float(n)
    top = (1.0 - epsilon) / float(k) + base
    return [top if e == m else base for e in estimates]


def draw(probabilities, u):
    acc = 0.0
    for i, p in enumerate(probabilities):
        acc = acc + p
        if u < acc:
            return i
    return len(probabilities) - 1


def decide(count, bits, epsilon, context, candidates, salt, estimates):
    """The decision a state with `count` decisions behind it makes, given the
    estimates the score callable returns: (decision_id, chosen, propensity,
    features, candidate_hash)."""
    vectors = [hash_candidate(context, identifier, features, bits) for identifier, features in candidates]
    probabilities = epsilon_greedy(estimates, epsilon)
    decision_id = f"{salt}:{count}"
    chosen = draw(probabilities, uniform(decision_id, salt))
    return decision_id, chosen, probabilities[chosen], vectors[chosen], candidate_hash(vectors, bits)
