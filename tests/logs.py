"""Logs written by real runs, and the changes tests make to their lines:
the helpers the toolkit's tests share."""
import json
import math
import random

import sorvane

CONFIG = {"horizon": 5.0, "default_reward": -0.25, "epsilon": 0.2, "forgetfulness": 0.98}
FLAGS = ["--horizon", "5.0", "--default-reward", "-0.25", "--epsilon", "0.2", "--forgetfulness", "0.98", "-q"]


def write_run(path, decisions=90, explore=None, score=None, state=None, salt="web", start=0):
    """A host's run through decide/learn/expire/log_line; returns the state.

    Rewards come early (rewarded), late (learn past the horizon: expired) or
    never (expire() resolves them); a few decisions stay pending. `explore`
    and `score`, when given, are used on every third decision.
    """
    state = state if state is not None else sorvane.create(10, **CONFIG)
    with open(path, "a", encoding="utf-8") as log:
        for i in range(start, start + decisions):
            context = {"city": ["Oslo", "Zürich", "Lima"][i % 3], "hour": i % 24, "member": i % 2 == 0,
                       "promo": None if i % 4 else "spring"}
            candidates = [(f"item{k}", {"price": 1.5 + k, "tag": "new" if (i + k) % 3 else "old"})
                          for k in range(2 + i % 4)]
            if i % 11 == 0:
                candidates.append(("item0", {"price": 9.0}))  # a duplicate id
            custom = {}
            if i % 3 == 1:
                if explore is not None:
                    custom["explore"] = explore
                if score is not None:
                    custom["score"] = score
            record = sorvane.decide(state, context, candidates, float(i), salt, **custom)
            log.write(sorvane.log_line(record) + "\n")
            if i % 5 == 0:
                resolution = sorvane.learn(state, record.decision_id, 1.0 + record.chosen, i + 1.0)
            elif i % 5 == 1:
                resolution = sorvane.learn(state, record.decision_id, 2.0, i + 7.5)  # past the horizon
            else:
                resolution = None
            if resolution is not None:
                log.write(sorvane.log_line(resolution) + "\n")
            if i % 7 == 6:
                for resolution in sorvane.expire(state, float(i)):
                    log.write(sorvane.log_line(resolution) + "\n")
    return state


def lines_of(path, event):
    lines = path.read_text().splitlines()
    return [k for k, line in enumerate(lines) if json.loads(line)["event"] == event]


def _flip_context(obj):
    key = next(iter(obj["context"]))
    obj["context"][key] = obj["context"][key] + "x"


def _flip_candidates(obj):
    obj["candidates"][0][0] += "x"


def _flip_features(obj):
    pair = obj["record"]["features"][0]
    pair[1] = pair[1] * 2.0


def flip_chosen(obj):
    obj["record"]["chosen"] = (obj["record"]["chosen"] + 1) % len(obj["candidates"])


# One change to one field per case. Three changes cannot show and are left out:
# a decision's t (an input the record only echoes), a rewarded resolution's
# reward (the host's observation; only its effect on later choices shows), and
# turning an expired resolution into a rewarded one that carries the default
# reward (the state trains the same either way).
DECISION_FLIPS = {
    "event": lambda o: o.update(event="decided"),
    "bits": lambda o: o.update(bits=o["bits"] + 1),
    "context": _flip_context,
    "candidates": _flip_candidates,
    "decision_id": lambda o: o["record"].update(decision_id=o["record"]["decision_id"] + "x"),
    "candidate_hash": lambda o: o["record"].update(candidate_hash=o["record"]["candidate_hash"] ^ 1),
    "chosen": flip_chosen,
    "features": _flip_features,
    "propensity": lambda o: o["record"].update(propensity=o["record"]["propensity"] / 2),
    "model_version": lambda o: o["record"].update(model_version=o["record"]["model_version"] + 1),
    "salt": lambda o: o["record"].update(salt=o["record"]["salt"] + "x"),
}
RESOLUTION_FLIPS = {
    "event": (None, lambda o: o.update(event="resolved")),
    "decision_id": (None, lambda o: o.update(decision_id=o["decision_id"] + "x")),
    "kind": ("rewarded", lambda o: o.update(kind="expired")),
    "reward": ("expired", lambda o: o.update(reward=o["reward"] + 1.0)),
}


def flip_line(path, index, change, separators=(",", ":")):
    lines = path.read_text().splitlines()
    obj = json.loads(lines[index])
    change(obj)
    lines[index] = json.dumps(obj, separators=separators)
    path.write_text("\n".join(lines) + "\n")


def softmax_explore(estimates, epsilon):
    weights = [math.exp(3.0 * e) for e in estimates]
    total = sum(weights)
    return [w / total for w in weights]


def nan_run(path, decisions=12):
    """Features whose NaNs come from arithmetic (sign bit set), from
    float("nan") (clear), and of both kinds in one candidate."""
    arithmetic_nan = math.inf - math.inf
    state = sorvane.create(10, **CONFIG)
    with open(path, "w") as log:
        for i in range(decisions):
            context = {"ratio": arithmetic_nan if i % 3 else 0.5, "plain": math.nan, "hour": i}
            candidates = [(f"c{k}", {"score": arithmetic_nan, "missing": math.nan if k else 1.0, "k": k + 1})
                          for k in range(3)]
            record = sorvane.decide(state, context, candidates, float(i), "nan")
            log.write(sorvane.log_line(record) + "\n")
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, 1.0, float(i))) + "\n")
    return state


# A shop whose rewards one known (context, candidate) pair drives.
SHOP_COUNTRIES = ["NZ", "DE", "US"]
SHOP_ITEMS = ["a", "b", "c", "d"]


def shop_run(path, decisions=3000, bits=16, model=None):
    """Uniform exploration over four items; only item b shown in NZ earns a
    reward, so that pair is what drives the model (the state's, or a joint
    model's that decides and learns through the taps)."""
    state = sorvane.create(bits, horizon=10.0, epsilon=1.0, forgetfulness=1.0)
    taps = {"score": model.score, "explore": model.explore} if model is not None else {}
    train = {"train": model.train} if model is not None else {}
    rng = random.Random(5)
    with open(path, "w", encoding="utf-8") as log:
        for i in range(decisions):
            context = {"country": rng.choice(SHOP_COUNTRIES), "device": rng.choice(["phone", "desk"]),
                       "hour": rng.randrange(24)}
            candidates = [(item, {"colour": colour}) for item, colour in zip(SHOP_ITEMS, ["red", "blue", "blue", "red"])]
            record = sorvane.decide(state, context, candidates, float(i), "s", **taps)
            log.write(sorvane.log_line(record) + "\n")
            won = context["country"] == "NZ" and candidates[record.chosen][0] == "b"
            log.write(sorvane.log_line(sorvane.learn(state, record.decision_id, 1.0 if won else 0.0, i + 1.0,
                                                     **train)) + "\n")
    return state
