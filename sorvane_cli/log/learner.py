"""Which model a log's decisions were made with, as the toolkit names it.

The built-in model needs no name. A host that decides through a
`sorvane_cli.JointModel` declares its settings in the log's header under
"learner":

    {"kind":"joint","learning_rate":0.01,"explore":"squarecb","gamma_scale":10.0,"initial_accumulator":0.0}

and `eval`/`sweep` name one as a target with `model=joint` and the same keys
(`--target model=joint,learning_rate=0.03,epsilon=0.01`). The settings are
the model's own; its bits are the state's.
"""
import math
from typing import Any

from sorvane_cli.joint_model import JointModel

KIND = "joint"
# The settings a joint learner takes, with how each is read from a target's text.
NUMBER_SETTINGS = ("learning_rate", "gamma_scale", "initial_accumulator")
SETTINGS = ("learning_rate", "explore", "gamma_scale", "initial_accumulator")


def learner_settings(model: Any, bits: int) -> dict[str, Any]:
    """The header's "learner" value for `model`, which must have `bits`."""
    if not isinstance(model, JointModel):
        raise TypeError(f"model must be a sorvane_cli.JointModel, not {type(model).__name__}")
    if model.bits != bits:
        raise ValueError(f"the model has {model.bits} bits and the state {bits}: they must be the same")
    return {"kind": KIND, "learning_rate": model.learning_rate, "explore": model.explore_rule,
            "gamma_scale": model.gamma_scale, "initial_accumulator": model.initial_accumulator}


def learner_problem(learner: Any) -> str | None:
    """Why a header's "learner" value is not one, or None."""
    if type(learner) is not dict:
        return "it must be an object"
    if learner.get("kind") != KIND:
        return f"kind must be {KIND!r}"
    unknown = sorted(set(learner) - set(SETTINGS) - {"kind"})
    if unknown:
        return "unknown key " + ", ".join(unknown)
    missing = [name for name in SETTINGS if name not in learner]
    if missing:
        return "it has no " + ", ".join(missing)
    for name in NUMBER_SETTINGS:
        if type(learner[name]) not in (int, float) or not math.isfinite(learner[name]):
            return f"{name} must be a finite number"
    try:
        # The settings checked on a model of one bit, without the memory of the real one.
        new_model(learner, 1)
    except (TypeError, ValueError) as exc:
        return str(exc)
    return None


def new_model(learner: dict[str, Any], bits: int) -> JointModel:
    """A fresh model with these settings (a header's "learner", checked)."""
    return JointModel(bits, learning_rate=float(learner["learning_rate"]), explore=learner["explore"],
                      gamma_scale=float(learner["gamma_scale"]),
                      initial_accumulator=float(learner["initial_accumulator"]))


def target_learner(fields: dict[str, Any]) -> dict[str, Any] | None:
    """The learner an eval target's fields name (`model=joint` and the
    joint model's settings, the rest at their defaults), or None for the
    built-in model; raises ValueError for settings that make no model."""
    model = fields.get("model", "builtin")
    given = [name for name in SETTINGS if name in fields]
    if model == "builtin":
        if given:
            raise ValueError(f"--target {', '.join(given)} goes with model=joint")
        return None
    if model != KIND:
        raise ValueError(f"--target model must be builtin or {KIND}, not {model!r}")
    defaults = JointModel(1)
    learner = {"kind": KIND, **{name: fields.get(name, getattr(defaults, "explore_rule" if name == "explore" else name))
                                for name in SETTINGS}}
    try:
        new_model(learner, 1)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"--target {exc}") from None
    return learner
