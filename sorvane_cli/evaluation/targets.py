"""The configurations `sorvane eval` and `sorvane sweep` evaluate: each
--target parsed and checked, and the logging configuration as the baseline."""
import sorvane

from sorvane_cli.evaluation.estimators import Terms
from sorvane_cli.log.snapshot import reconfigured
from sorvane_cli.status import UsageError

_KEYS = {"name": str, "epsilon": float, "bits": int, "forgetfulness": float, "default_reward": float}


class Target:
    """One configuration evaluated, and its terms; a Learner holds its state."""

    def __init__(self, name, bits, epsilon, forgetfulness, default_reward, horizon, state=None):
        self.name = name
        self.bits = bits
        self.epsilon = epsilon
        self.forgetfulness = forgetfulness
        self.default_reward = default_reward
        self.horizon = horizon
        # Only the baseline continuing a saved state starts with one.
        self.state = state
        # A target continuing a saved state: that state, with this target's settings.
        self.state_text = None
        self.terms = Terms()

    def config(self):
        return {"bits": self.bits, "epsilon": self.epsilon, "forgetfulness": self.forgetfulness,
                "default_reward": self.default_reward}


def parse_targets(settings):
    """[{key: value}] from the --target arguments (key=value, comma-separated)."""
    targets = []
    for setting in settings or []:
        fields = {}
        for token in setting.split(","):
            if not token.strip():
                continue
            key, sep, value = token.partition("=")
            key = key.strip().replace("-", "_")
            if not sep or key not in _KEYS:
                raise UsageError(f"--target takes key=value with a key among {', '.join(_KEYS)}; got {token!r}")
            try:
                fields[key] = _KEYS[key](value.strip())
            except ValueError:
                raise UsageError(f"--target {key} must be {'an integer' if key == 'bits' else 'a number'}, "
                                 f"not {value!r}") from None
        targets.append(fields)
    return targets


def build_targets(config, settings, with_baseline=True):
    horizon = config.horizon
    targets = []
    if with_baseline:
        baseline = Target("logging", None, config.epsilon, config.forgetfulness, config.default_reward, horizon,
                          config.initial_state())
        if baseline.state is not None:
            try:
                baseline.bits = sorvane.model_bits(baseline.state)
            except ValueError as exc:
                raise UsageError(f"the state the log continues from cannot decide: {exc}") from None
        targets.append(baseline)
    saved_bits = None
    if config.state_text is not None:
        try:
            saved_bits = sorvane.model_bits(config.initial_state())
        except ValueError as exc:
            raise UsageError(f"the state the log continues from cannot decide: {exc}") from None
    for k, wanted in enumerate(parse_targets(settings)):
        name = (wanted.pop("name", None) or ",".join(f"{key}={value}" for key, value in wanted.items())
                or f"target {k + 1}")
        t = Target(name, wanted.get("bits"), wanted.get("epsilon", config.epsilon),
                   wanted.get("forgetfulness", config.forgetfulness),
                   wanted.get("default_reward", config.default_reward), horizon)
        try:
            sorvane.create(t.bits if t.bits is not None else 1, horizon, t.default_reward, t.epsilon, t.forgetfulness)
        except (ValueError, OverflowError) as exc:
            raise UsageError(f"--target {name}: {exc}") from None
        if saved_bits is not None:
            # Each target continues the saved model, with its own settings.
            if t.bits is not None and t.bits != saved_bits:
                raise UsageError(f"--target {name}: bits {t.bits} cannot continue the --from-state model, "
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
