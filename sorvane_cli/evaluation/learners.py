"""The states that learn for the targets of `sorvane eval`.

A target's state is steered to the logged choice on every decision, so its
ledger holds the logged candidate whatever its epsilon, and `learn` trains
it on that candidate with the logged reward. Epsilon therefore shapes only
the probabilities read off the estimates, never the model: targets that
start from the same state and share bits, forgetfulness and default reward
go through identical models, and one state learns for all of them. An
epsilon sweep then costs one `decide` and one `learn` per decision, not one
per target.

A target with a joint model (`model=joint`) learns through it in a state of
its own (JointLearner): its model, not the state's, trains on the logged
choices, and its own rule gives the probabilities.
"""
import struct
from operator import mul

import sorvane

from sorvane_cli.policy import builtin_probabilities_for

_decide = sorvane.decide


class Learner:
    """One state and the targets it learns for."""

    # learn's train tap: the built-in model trains itself.
    train = None

    def __init__(self, state, targets):
        self.state = state
        self.targets = targets
        self._epsilons = [target.epsilon for target in targets]
        # Shared by every target here (they are grouped by it).
        self.default_reward = targets[0].default_reward
        self.terms = [target.terms for target in targets]
        self._chosen = 0
        self._seen = None
        # (number of candidates, logged choice) -> all probability on that choice
        self._steer = {}

    def _explore(self, estimates, epsilon):
        # The state's own epsilon is the first target's; each target's
        # probabilities come from its own.
        a = self._chosen
        q = estimates[a]
        n = len(estimates)
        self._seen = [(probabilities[a], sum(map(mul, probabilities, estimates)), q)
                      for probabilities in builtin_probabilities_for(estimates, self._epsilons)]
        steer = self._steer.get((n, a))
        if steer is None:
            steer = self._steer[n, a] = tuple(1.0 if k == a else 0.0 for k in range(n))
        return steer

    def decide(self, context, candidates, t, salt, chosen):
        """Each target's (pi(a), sum pi q, q(a)) for the logged choice, in
        the order of `targets`, and the id under which the ledger now holds
        that choice."""
        self._chosen = chosen
        record = _decide(self.state, context, candidates, t, salt, explore=self._explore)
        return record.decision_id, self._seen


class JointLearner:
    """A target that learns through a joint model: a state of its own (its
    ledger keeps the logged choices) and the model, which scores, shares
    out the probabilities by its own rule and trains on the logged outcomes."""

    def __init__(self, state, target, model):
        self.state = state
        self.targets = [target]
        self.model = model
        self.train = model.train
        self.default_reward = target.default_reward
        self.terms = [target.terms]
        self._epsilon = target.epsilon
        self._chosen = 0
        self._seen = None

    def _explore(self, estimates, epsilon):
        a = self._chosen
        probabilities = self.model.explore(estimates, self._epsilon)
        self._seen = [(probabilities[a], sum(map(mul, probabilities, estimates)), estimates[a])]
        return [1.0 if k == a else 0.0 for k in range(len(estimates))]

    def decide(self, context, candidates, t, salt, chosen):
        """As Learner.decide, for the one target."""
        self._chosen = chosen
        record = _decide(self.state, context, candidates, t, salt, score=self.model.score, explore=self._explore)
        return record.decision_id, self._seen


def group(targets, bits):
    """Learners for `targets`, those that leave their bits open made with
    `bits` (the log's). A target that already holds a state (the baseline
    continuing a saved one) keeps it to itself; the others share a state,
    fresh or continuing the saved one (`state_text`), with every target of
    the same bits, forgetfulness and default reward. The targets are left as they are. Raises what `create` raises."""
    groups = {}
    joint = []
    for k, target in enumerate(targets):
        if target.learner is not None:
            target_bits = target.bits if target.bits is not None else bits
            saved = getattr(target, "state_text", None)
            state = (target.state if target.state is not None else
                     sorvane.deserialize(saved) if saved is not None else
                     sorvane.create(target_bits, target.horizon, target.default_reward, target.epsilon,
                                    target.forgetfulness))
            joint.append(JointLearner(state, target, target.new_model(target_bits)))
            continue
        if target.state is not None:
            groups[k] = (target.state, [target])
            continue
        target_bits = target.bits if target.bits is not None else bits
        # Bit for bit: 0.0 and -0.0 are equal as keys but not the same reward.
        saved = getattr(target, "state_text", None)
        key = (target_bits, struct.pack("<dd", target.forgetfulness, target.default_reward), saved is not None)
        if key not in groups:
            # A target continuing a saved state starts from it, with its own settings.
            state = (sorvane.deserialize(saved) if saved is not None else
                     sorvane.create(target_bits, target.horizon, target.default_reward, target.epsilon,
                                    target.forgetfulness))
            groups[key] = (state, [])
        groups[key][1].append(target)
    return [Learner(state, members) for state, members in groups.values()] + joint
