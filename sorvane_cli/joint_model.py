"""`JointModel`: a learner for hosts who want more reward than the built-in
model earns, plugged into `sorvane` through its callback taps.

    model = JointModel(bits)                 # the state's bits
    model.check_state(state)                 # refuses a state of other bits
    record = sorvane.decide(state, context, candidates, t, salt,
                            score=model.score, explore=model.explore)
    sorvane.learn(state, record.decision_id, reward, t, train=model.train)
    sorvane.expire(state, t, train=model.train)

The model is a joint online linear regression over exactly the vectors the
engine hashes (context x candidate terms, per-candidate context weights
included), fitted on squared loss by AdaGrad. Its state is a second text
beside the state's: `model.serialize()`, `JointModel.deserialize(text)`;
`save_together` and `load_together` keep the two in one file, replaced in
one step, so that a crash never leaves a state beside another moment's
model. The class itself is native (`sorvane_cli._native.JointModel`).
"""
import os
from typing import Any

import sorvane

import sorvane_cli._native as _native

JointModel = _native.JointModel

__all__ = ["JointModel", "load_together", "save_together"]

_panic_class: Any = None


def module_panic_class() -> Any:
    """sorvane's PanicException, which the module does not name: the class
    of the error a decide raises when its context changes while it is read.
    The joint model's score raises it for the same fault, as decide does."""
    global _panic_class
    if _panic_class is None:
        context: dict[str, Any] = {}

        class Growing(int):
            def __float__(self) -> float:
                context["grown"] = 1
                return 1.0

        context["n"] = Growing(1)
        try:
            sorvane.decide(sorvane.create(1, 1.0), context, [("a", {})], 0.0, "")
        except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
            _panic_class = type(exc)
        else:
            raise RuntimeError("sorvane did not refuse a context that changed while it was read")
    return _panic_class


def save_together(path: "str | os.PathLike[str]", state: sorvane.BanditState, model: JointModel) -> None:
    """Writes the state's text and the model's, one line each, to `path`:
    to a temporary file beside it first, flushed to disk, then renamed over
    `path` in one step. A crash at any moment leaves `path` holding either
    the previous pair or this one, never one text without its partner."""
    model.check_state(state)
    tmp = f"{path}.tmp"
    with open(tmp, "w", encoding="ascii") as f:
        f.write(sorvane.serialize(state))
        f.write("\n")
        f.write(model.serialize())
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    # The rename itself reaches the disk with the folder.
    folder = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def load_together(path: "str | os.PathLike[str]") -> tuple[sorvane.BanditState, JointModel]:
    """The (state, model) pair `save_together` wrote to `path`; ValueError
    when the file does not hold one."""
    with open(path, encoding="ascii", errors="replace") as f:
        lines = f.read().split("\n")
    if len(lines) != 3 or lines[2] != "":
        raise ValueError(f"{path} does not hold a state and a joint model, one line each")
    state, model = sorvane.deserialize(lines[0]), JointModel.deserialize(lines[1])
    model.check_state(state)
    return state, model
