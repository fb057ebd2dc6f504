"""The decision workloads the benchmarks share."""

# name: (bits, context features, candidates, features per candidate)
WORKLOADS = {
    "S": (18, 3, 3, 2),
    "M": (18, 10, 10, 5),
    "L": (22, 30, 50, 10),
}


def features(prefix, count, seed):
    """Half text, half numbers, with names and values fixed by seed."""
    out = {}
    for i in range(count):
        name = f"{prefix}{i}"
        if i % 2 == 0:
            out[name] = f"value-{(seed * 7 + i * 13) % 97}"
        else:
            out[name] = ((seed * 31 + i * 17) % 101) / 10.0 - 5.0
    return out


def workload(context_features, n_candidates, candidate_features):
    """A context and its candidates of the given sizes."""
    context = features("user_", context_features, 1)
    candidates = [
        (f"item-{c}", features("attr_", candidate_features, c + 2)) for c in range(n_candidates)
    ]
    return context, candidates


def random_features(rng, prefix, count):
    """Half text, half numbers, drawn from `rng` (a random.Random)."""
    return {f"{prefix}{i}": (f"v{rng.randrange(50)}" if i % 2 == 0 else round(rng.uniform(-5, 5), 3))
            for i in range(count)}


def random_decision(rng, context_features, n_candidates, candidate_features):
    """A context and candidates drawn from `rng`, the candidates' ids from 40."""
    context = random_features(rng, "user_", context_features)
    candidates = [(f"item-{rng.randrange(40)}", random_features(rng, "attr_", candidate_features))
                  for _ in range(n_candidates)]
    return context, candidates
