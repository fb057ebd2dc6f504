"""The configuration of the state that wrote a log: from the flags, the log's
header, what the log itself fixes (see head.py), or a saved state; and the
flags checked against the log, so no command runs on a configuration the log
contradicts."""
import sorvane

from sorvane_cli.log.snapshot import state_fields
from sorvane_cli.log.values import same_float
from sorvane_cli.status import UsageError

DEFAULTS = {"default_reward": 0.0, "epsilon": 0.05, "forgetfulness": 0.999}
FLAGS = {"horizon": "--horizon", "default_reward": "--default-reward", "epsilon": "--epsilon",
         "forgetfulness": "--forgetfulness"}


class LogConfig:
    """The `create` parameters of the logging state, or a state to start from.

    `sources` says where each value came from: "flag", "header", "log",
    "state" or "default".
    """

    def __init__(self, horizon=None, default_reward=0.0, epsilon=0.05, forgetfulness=0.999, state_text=None,
                 sources=None):
        self.horizon = horizon
        self.default_reward = default_reward
        self.epsilon = epsilon
        self.forgetfulness = forgetfulness
        self.state_text = state_text
        self.sources = dict(sources or {})
        self.start = state_fields(state_text) if state_text is not None else None
        if self.start is not None:
            self.horizon = self.start["horizon"]
            self.default_reward = self.start["default_reward"]
            self.epsilon = self.start["epsilon"]
            self.forgetfulness = self.start["forgetfulness"]
            self.sources = dict.fromkeys(FLAGS, "state")

    def initial_state(self):
        """The state the log continues from, or None when `create` starts it."""
        if self.state_text is None:
            return None
        return sorvane.deserialize(self.state_text)

    def create(self, bits):
        return sorvane.create(bits, self.horizon, self.default_reward, self.epsilon, self.forgetfulness)

    def described(self, bits):
        """The configuration as verify reports it: `bits`, each value, and
        where each came from."""
        out = {"bits": bits}
        for name in FLAGS:
            out[name] = getattr(self, name)
        out["from"] = dict(self.sources)
        return out

    def guessed(self):
        """The flags of the values nothing fixed (left at their defaults)."""
        return [FLAGS[name] for name, source in self.sources.items() if source == "default"]


def _trusted_epsilon(head):
    """(epsilon, decisions it explains) when the built-in rule with it
    explains most of the head's decisions, else None."""
    found = head.epsilon() if head is not None else None
    if found is None or 2 * found[1] <= head.judged:
        return None
    return found


def _check_against_log(name, value, head, who=None):
    """Raises UsageError when `value` for `name` contradicts what the log's
    lines fix. `who` names where the value came from (the header, a saved
    state); without it the value is its flag's."""
    if head is None:
        return
    if who is None:
        lead, hint = f"{FLAGS[name]} {value!r} contradicts the log: its", "; leave the flag out to use it"
    else:
        lead, hint = f"{who} gives {name.replace('_', ' ')} {value!r}, but the log's", ""
    if name == "default_reward" and not head.same_default_reward(value):
        raise UsageError(f"{lead} expired resolutions carry the default reward {head.default_reward!r} "
                         f"(line {head.default_reward_line}){hint}")
    if name == "epsilon":
        found = _trusted_epsilon(head)
        if found is not None and head.explained(value) < found[1]:
            raise UsageError(f"{lead} propensities are those of the built-in rule with epsilon {found[0]!r} "
                             f"({found[1]} of the first {head.judged} decisions, {head.explained(value)} with "
                             f"{value!r}){hint}")


def _from_state(state_path, head):
    try:
        with open(state_path, encoding="ascii", errors="replace") as f:
            text = f.read().strip()
    except OSError as exc:
        raise UsageError(f"cannot read {state_path}: {exc.strerror or exc}") from None
    try:
        sorvane.deserialize(text)
    except ValueError as exc:
        raise UsageError(f"{state_path} is not a serialized state: {exc}") from None
    config = LogConfig(state_text=text)
    header = head.header.config if head is not None and head.header is not None else {}
    for name in FLAGS:
        value = getattr(config, name)
        if name in header and not same_float(value, header[name]):
            raise UsageError(f"--from-state {state_path} has {name} {value!r}, but the log's header (line 1) "
                             f"gives {header[name]!r}")
        _check_against_log(name, value, head, f"--from-state {state_path}")
    return config


def load_config(horizon, default_reward, epsilon, forgetfulness, state_path, need_horizon=True, head=None):
    """The logging configuration, checked the way `create` checks it.

    Each value comes from its flag, else the log's header, else the log's
    lines (`head`, a head.Head: bits, default reward and epsilon), else
    its default; a flag that contradicts the header or the lines is refused.
    With `state_path` the state carries the configuration and the flags must
    be absent. Without a horizon from anywhere, `need_horizon` refuses.
    """
    flags = {"horizon": horizon, "default_reward": default_reward, "epsilon": epsilon,
             "forgetfulness": forgetfulness}
    if state_path is not None:
        given = [FLAGS[name] for name, value in flags.items() if value is not None]
        if given:
            raise UsageError(f"{', '.join(given)} cannot go with --from-state: the state carries its configuration")
        return _from_state(state_path, head)
    # Each flag is first checked as create checks it, so a value out of range says so.
    try:
        LogConfig(1.0 if horizon is None else horizon,
                  *(DEFAULTS[name] if flags[name] is None else flags[name] for name in DEFAULTS)).create(1)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    header = head.header.config if head is not None and head.header is not None else {}
    for name, value in header.items():
        if name in FLAGS:
            _check_against_log(name, value, head, "the log's header (line 1)")
    trusted = _trusted_epsilon(head)
    inferred = {"default_reward": head.default_reward if head is not None else None,
                "epsilon": trusted[0] if trusted is not None else None}
    values, sources = {}, {}
    for name, flag in FLAGS.items():
        given = flags[name]
        if given is not None:
            if name in header and not same_float(given, header[name]):
                raise UsageError(f"{flag} {given!r} contradicts the log's header (line 1), which gives "
                                 f"{header[name]!r}; leave the flag out to use it")
            _check_against_log(name, given, head)
            values[name], sources[name] = given, "flag"
        elif name in header:
            values[name], sources[name] = header[name], "header"
        elif inferred.get(name) is not None:
            values[name], sources[name] = inferred[name], "log"
        elif name in DEFAULTS:
            values[name], sources[name] = DEFAULTS[name], "default"
        else:
            values[name], sources[name] = None, "default"
    if values["horizon"] is None:
        if need_horizon:
            raise UsageError("--horizon is required: the log has no header to give it "
                             "(or pass --from-state with the state the log continues from)")
        # Nothing the command does depends on it.
        values["horizon"] = 1.0
    config = LogConfig(values["horizon"], values["default_reward"], values["epsilon"], values["forgetfulness"],
                       sources=sources)
    try:
        config.create(1)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    return config
