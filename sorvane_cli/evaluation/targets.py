"""The configurations `sorvane eval` and `sorvane sweep` evaluate: each
--target parsed and checked, and the logging configuration as the baseline."""
import sorvane

from sorvane_cli.evaluation.estimators import Terms
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
        self.terms = Terms()

    def config(self):
        return {"bits": self.bits, "epsilon": self.epsilon, "forgetfulness": self.forgetfulness,
                "default_reward": self.default_reward}


def parse_targets(settings, flag="--target"):
    """[{key: value}] from the --target arguments (key=value, comma-separated);
    `flag` is the one messages name (sweep's values come from --grid)."""
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
        targets.append(fields)
    return targets


def build_targets(config, settings, with_baseline=True, flag="--target"):
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
    names = {"logging"} if with_baseline else set()
    for k, wanted in enumerate(parse_targets(settings, flag)):
        name = (wanted.pop("name", None) or ",".join(f"{key}={value}" for key, value in wanted.items())
                or f"target {k + 1}")
        if name in names:
            # Two rows of one name cannot be told apart in the report.
            raise UsageError(f"{flag} {name}: another target has that name; give each one its own (name=...)")
        names.add(name)
        t = Target(name, wanted.get("bits"), wanted.get("epsilon", config.epsilon),
                   wanted.get("forgetfulness", config.forgetfulness),
                   wanted.get("default_reward", config.default_reward), horizon)
        try:
            sorvane.create(t.bits if t.bits is not None else 1, horizon, t.default_reward, t.epsilon, t.forgetfulness)
        except (ValueError, OverflowError) as exc:
            raise UsageError(f"{flag} {name}: {exc}") from None
        targets.append(t)
    return targets
