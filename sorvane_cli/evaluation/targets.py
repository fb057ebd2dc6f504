"""The configurations `sorvane eval` and `sorvane sweep` evaluate: each
--target parsed and checked, and the logging configuration as the baseline."""
import sorvane

from sorvane_cli.evaluation.estimators import Terms
from sorvane_cli.joint_model import JointModel
from sorvane_cli.log.learner import new_model, target_learner
from sorvane_cli.log.snapshot import reconfigured
from sorvane_cli.status import UsageError

_KEYS = {"name": str, "epsilon": float, "bits": int, "forgetfulness": float, "default_reward": float, "model": str,
         "learning_rate": float, "explore": str, "gamma_scale": float, "initial_accumulator": float}


class Target:
    """One configuration evaluated, and its terms; a Learner holds its state."""

    def __init__(self, name, bits, epsilon, forgetfulness, default_reward, horizon, state=None, learner=None,
                 model_text=None):
        self.name = name
        self.bits = bits
        self.epsilon = epsilon
        self.forgetfulness = forgetfulness
        self.default_reward = default_reward
        self.horizon = horizon
        # Only the baseline continuing a saved state starts with one.
        self.state = state
        # A joint model's settings (log/learner.py), or None: the built-in model.
        self.learner = learner
        # The joint model the baseline continues from, as text; None: a fresh one.
        self.model_text = model_text
        # A target continuing a saved state: that state, with this target's settings.
        self.state_text = None
        self.terms = Terms()

    def new_model(self, bits):
        """The target's joint model at `bits`, or None for the built-in model."""
        if self.learner is None:
            return None
        if self.model_text is not None:
            return JointModel.deserialize(self.model_text)
        return new_model(self.learner, bits)

    def top_epsilon(self):
        """The epsilon whose built-in rule bounds the target's largest
        probability from above (SquareCB may put nearly all on one)."""
        return 0.0 if self.learner is not None and self.learner["explore"] == "squarecb" else self.epsilon

    def config(self):
        out = {"bits": self.bits, "epsilon": self.epsilon, "forgetfulness": self.forgetfulness,
               "default_reward": self.default_reward}
        if self.learner is not None:
            out["learner"] = dict(self.learner)
        return out


def top_epsilon(fields, epsilon):
    """The epsilon whose built-in rule bounds from above the largest
    probability of the target `fields` name (a grid point; `epsilon`: the
    logged one), refusing fields that make no model. SquareCB may put nearly
    all on one candidate: epsilon 0 bounds it."""
    try:
        learner = target_learner(dict(fields))
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    return 0.0 if learner is not None and learner["explore"] == "squarecb" else fields.get("epsilon", epsilon)


def parse_targets(settings, flag="--target", whole=True):
    """[{key: value}] from the --target arguments (key=value, comma-separated);
    `flag` is the one messages name (sweep's values come from --grid).
    `whole` false reads each setting as a part of a target (one axis of a
    sweep's grid), whose learner settings are checked once it is complete."""
    targets = []
    for setting in settings or []:
        fields = {}
        for token in setting.split(","):
            if not token.strip():
                continue
            key, sep, value = token.partition("=")
            key = key.strip().replace("-", "_")
            if not sep or key not in _KEYS:
                raise UsageError(f"{flag} takes key=value with a key among {', '.join(_KEYS)}; got {token!r}")
            try:
                fields[key] = _KEYS[key](value.strip())
            except ValueError:
                raise UsageError(f"{flag} {key} must be {'an integer' if key == 'bits' else 'a number'}, "
                                 f"not {value!r}") from None
        if whole:
            try:
                target_learner(fields)
            except ValueError as exc:
                raise UsageError(str(exc)) from None
        targets.append(fields)
    return targets


def build_targets(config, settings, with_baseline=True, flag="--target"):
    horizon = config.horizon
    targets = []
    if with_baseline:
        baseline = Target("logging", None, config.epsilon, config.forgetfulness, config.default_reward, horizon,
                          config.initial_state(), config.learner, config.model_text)
        if baseline.state is not None:
            try:
                baseline.bits = sorvane.model_bits(baseline.state)
            except ValueError as exc:
                raise UsageError(f"the state the log continues from cannot decide: {exc}") from None
        targets.append(baseline)
    names = {"logging"} if with_baseline else set()
    saved_bits = None
    if config.state_text is not None:
        try:
            saved_bits = sorvane.model_bits(config.initial_state())
        except ValueError as exc:
            raise UsageError(f"the state the log continues from cannot decide: {exc}") from None
    for k, wanted in enumerate(parse_targets(settings, flag)):
        name = (wanted.pop("name", None) or ",".join(f"{key}={value}" for key, value in wanted.items())
                or f"target {k + 1}")
        if name in names:
            # Two rows of one name cannot be told apart in the report.
            raise UsageError(f"{flag} {name}: another target has that name; give each one its own (name=...)")
        names.add(name)
        t = Target(name, wanted.get("bits"), wanted.get("epsilon", config.epsilon),
                   wanted.get("forgetfulness", config.forgetfulness),
                   wanted.get("default_reward", config.default_reward), horizon, learner=target_learner(wanted))
        try:
            sorvane.create(t.bits if t.bits is not None else 1, horizon, t.default_reward, t.epsilon, t.forgetfulness)
        except (ValueError, OverflowError) as exc:
            raise UsageError(f"{flag} {name}: {exc}") from None
        if saved_bits is not None:
            # Each target continues the saved model, with its own settings.
            if t.bits is not None and t.bits != saved_bits:
                raise UsageError(f"{flag} {name}: bits {t.bits} cannot continue the --from-state model, "
                                 f"which has {saved_bits} bits")
            t.bits = saved_bits
            t.state_text = reconfigured(config.state_text, t.epsilon, t.forgetfulness, t.default_reward)
        targets.append(t)
    return targets


def fresh_state(target):
    """A state of the target's own for one replay: the saved state it
    continues, else a new one."""
    text = target.state_text
    if text is None and target.state is not None:
        text = sorvane.serialize(target.state)
    if text is not None:
        return sorvane.deserialize(text)
    return sorvane.create(target.bits, target.horizon, target.default_reward, target.epsilon, target.forgetfulness)
