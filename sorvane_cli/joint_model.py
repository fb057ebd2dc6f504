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
beside the state's: `model.serialize()`, `JointModel.deserialize(text)`.
The class itself is native (`sorvane_cli._native.JointModel`); this module
only names it and its defaults.
"""
from ._native import JointModel

__all__ = ["JointModel"]
