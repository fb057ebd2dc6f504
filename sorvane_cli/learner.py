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

from .joint_model import JointModel

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
    return JointModel(bits, **{name: learner[name] if name == "explore" else float(learner[name])
                               for name in SETTINGS})


def attach_model(config: Any, model_path: str | None, state_path: str | None) -> None:
    """Gives `config` the model the log continues from (`--from-model`), or
    refuses a combination that cannot reproduce the log: a saved state of a
    joint-model log without its model, a model for a log that declares none,
    a model whose settings are not the header's."""
    from .config import UsageError

    if model_path is None:
        if config.learner is not None and state_path is not None:
            raise UsageError("the log's header declares a joint model: --from-state needs --from-model with the "
                             "model saved beside the state")
        return
    if config.learner is None:
        raise UsageError("--from-model goes with a log whose header declares a joint model (header_line(..., "
                         "model=...)); this log's does not")
    try:
        with open(model_path, encoding="ascii", errors="replace") as f:
            text = f.read().strip()
    except OSError as exc:
        raise UsageError(f"cannot read {model_path}: {exc.strerror or exc}") from None
    try:
        model = JointModel.deserialize(text)
    except ValueError as exc:
        raise UsageError(f"{model_path} is not a joint model's text: {exc}") from None
    saved = learner_settings(model, model.bits)
    if saved != config.learner or model.bits != config.learner_bits:
        raise UsageError(f"--from-model {model_path} has the settings {saved} at {model.bits} bits, but the log's "
                         f"header declares {config.learner} at {config.learner_bits} bits")
    config.model_text = text


def target_learner(fields: dict[str, Any]) -> dict[str, Any] | None:
    """The learner an eval target's fields name (`model=joint` and the
    joint model's settings, the rest at their defaults), or None for the
    built-in model; raises UsageError for settings that make no model."""
    from .config import UsageError

    model = fields.get("model", "builtin")
    given = [name for name in SETTINGS if name in fields]
    if model == "builtin":
        if given:
            raise UsageError(f"--target {', '.join(given)} goes with model=joint")
        return None
    if model != KIND:
        raise UsageError(f"--target model must be builtin or {KIND}, not {model!r}")
    defaults = JointModel(1)
    learner = {"kind": KIND, **{name: fields.get(name, getattr(defaults, "explore_rule" if name == "explore" else name))
                                for name in SETTINGS}}
    try:
        new_model(learner, 1)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"--target {exc}") from None
    return learner
