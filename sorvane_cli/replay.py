"""Replaying the log through the module: the state the log describes, and
every way the log disagrees with what the module does.

A decision line is replayed as `decide` on the logged context, candidates,
`t` and salt; its record must come out bit for bit. A rewarded resolution is
replayed as `learn` at a NaN time, which is never past a horizon, so the
state trains with the logged reward; an expired one as `learn` at +inf, at
or past every horizon, so the state trains with its own default reward, which
the line must carry. The model thus evolves exactly as it did for the host.
A decision line whose record object is, byte for byte, the one in the
replayed record's `log_line` is proven without looking at its fields; only
other lines are compared field by field, which also names what differs.

Hosts may have decided with their own `score` or `explore` callables, which
the log does not carry. The first pass uses the built-in policy; if some
decision differs only in its choice and propensity, the log is replayed once
more with an `explore` callable that predicts the built-in result and, where
the logged choice differs, steers the draw to the logged candidate with the
logged propensity. The ledger then holds what the host's ledger held, later
decisions and the final state come out right, and those decisions are
reported as not reproducible by the built-in policy rather than as corrupt.
"""
import gc
import math
import operator
import sorvane

from .findings import Finding, Findings
from .logread import DecisionLine, ResolutionLine, features_problem, read_log
from .nan_signs import NanSigns
from .native_replay import replay_natively
from .policy import (builtin_probabilities, draw, draw_uniform, explore_accepts, same_float,
                     steering_probabilities)
from .snapshot import state_fields

# Exceptions `decide` and `learn` raise for inputs they refuse.
_REFUSED = (TypeError, ValueError, OverflowError)


class UsageError(Exception):
    """A command-line problem; the message is for the user as it stands."""


class LogConfig:
    """The `create` parameters of the logging state, or a state to start from."""

    def __init__(self, horizon=None, default_reward=0.0, epsilon=0.05, forgetfulness=0.999, state_text=None):
        self.horizon = horizon
        self.default_reward = default_reward
        self.epsilon = epsilon
        self.forgetfulness = forgetfulness
        self.state_text = state_text
        self.start = state_fields(state_text) if state_text is not None else None
        if self.start is not None:
            self.horizon = self.start["horizon"]
            self.default_reward = self.start["default_reward"]
            self.epsilon = self.start["epsilon"]
            self.forgetfulness = self.start["forgetfulness"]

    def initial_state(self):
        """The state the log continues from, or None when `create` starts it."""
        if self.state_text is None:
            return None
        return sorvane.deserialize(self.state_text)

    def create(self, bits):
        return sorvane.create(bits, self.horizon, self.default_reward, self.epsilon, self.forgetfulness)


def load_config(horizon, default_reward, epsilon, forgetfulness, state_path, need_horizon=True):
    """The logging configuration from the flags, checked the way `create`
    checks it, or from a serialized state (then the flags must be absent)."""
    if state_path is not None:
        given = [name for name, value in (("--horizon", horizon), ("--default-reward", default_reward),
                                          ("--epsilon", epsilon), ("--forgetfulness", forgetfulness))
                 if value is not None]
        if given:
            raise UsageError(f"{', '.join(given)} cannot go with --from-state: the state carries its configuration")
        try:
            with open(state_path, encoding="ascii", errors="replace") as f:
                text = f.read().strip()
        except OSError as exc:
            raise UsageError(f"cannot read {state_path}: {exc.strerror or exc}") from None
        try:
            sorvane.deserialize(text)
        except ValueError as exc:
            raise UsageError(f"{state_path} is not a serialized state: {exc}") from None
        return LogConfig(state_text=text)
    if horizon is None:
        if need_horizon:
            raise UsageError("--horizon is required (or --from-state with the state the log continues from)")
        horizon = 1.0
    config = LogConfig(horizon,
                       0.0 if default_reward is None else default_reward,
                       0.05 if epsilon is None else epsilon,
                       0.999 if forgetfulness is None else forgetfulness)
    try:
        config.create(1)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    return config


class NeedSteering(Exception):
    """A decision differs only in its choice: replay again, steering."""


class _UseEngine(Exception):
    """Raised by the steering callable when only the engine can reproduce
    the decision (NaN estimates give probabilities `explore` may not return)."""


def _features_list_match(logged, replayed):
    if len(logged) != len(replayed):
        return False
    for (i, v), (j, w) in zip(logged, replayed):
        if i != j or not same_float(float(v), w):
            return False
    return True


def _features_difference(logged, replayed):
    """The first place where two feature lists part, as a (field, logged,
    replayed) triple."""
    for k, (a, b) in enumerate(zip(logged, replayed)):
        if a[0] != b[0] or not same_float(float(a[1]), b[1]):
            return f"features[{k}]", list(a), list(b)
    return "features (number of pairs)", len(logged), len(replayed)


def _same_number(logged, replayed):
    return same_float(float(logged), replayed)


# The record's fields around its feature list, in the order they are
# reported, each with how a logged value is compared with the replayed one.
_FIELDS_BEFORE_FEATURES = (("decision_id", operator.eq), ("t", _same_number), ("candidate_hash", operator.eq),
                           ("chosen", operator.eq))
_FIELDS_AFTER_FEATURES = (("propensity", _same_number), ("model_version", operator.eq), ("salt", operator.eq))


def _field_differences(record, replayed, fields, diffs):
    for name, same in fields:
        logged, value = record[name], getattr(replayed, name)
        if not same(logged, value):
            diffs.append((name, logged, value))


def _renders_as(replayed, ev):
    """Whether the line of `ev`, which took the reader's fast path, holds
    exactly the replayed record's text from its record key to the end.
    Equal text proves every record field equal; unequal text proves nothing
    (another JSON writer may have spaced or spelled the numbers otherwise),
    so the fields are then compared.

    The record's inputs are emptied first: log_line renders them as they are
    when it is called, and their text, the larger part of the line, is not
    what needs proving. Nothing reads them after the decision."""
    replayed.context.clear()
    replayed.candidates.clear()
    text = sorvane.log_line(replayed)
    record = text[text.find(',"record":{'):].encode()
    line, at = ev.line, ev.record_at
    size = len(line) - at
    return (line.startswith(record, at)
            and (size == len(record) or (size == len(record) + 1 and line.endswith(b"\n"))))


class Replayer:
    """One pass over the log, event by event."""

    def __init__(self, config, steer=False, keep=10):
        self.config = config
        self.steer = steer
        self.findings = Findings(keep)
        self.state = config.initial_state()
        start = config.start
        self.bits = sorvane.model_bits(self.state) if self.state is not None and _power_of_two(start) else None
        self.decision_count = start["decision_count"] if start else 0
        self.pending = start["pending"] if start else 0
        self.lines = 0
        self.decisions = 0
        self.resolutions = 0
        self.steered = 0
        # Ids of decision lines that could not be replayed: their resolutions
        # are skipped rather than reported a second time.
        self._unreplayed = set()
        self._current = None
        self._builtin = None
        self._nan_signs = NanSigns()

    # -- decisions ---------------------------------------------------------

    def _explore(self, estimates, epsilon):
        record, decision_id = self._current
        probabilities = builtin_probabilities(estimates, epsilon)
        if not explore_accepts(probabilities):
            raise _UseEngine
        u = draw_uniform(decision_id, record["salt"])
        choice = draw(probabilities, u)
        self._builtin = (choice, probabilities[choice])
        chosen, propensity = record["chosen"], float(record["propensity"])
        if choice == chosen and same_float(probabilities[choice], propensity):
            return probabilities
        steered = steering_probabilities(len(estimates), chosen, propensity, u)
        return probabilities if steered is None else steered

    def decision(self, ev):
        self.decisions += 1
        record = ev.record
        if self.state is None:
            try:
                self.state = self.config.create(ev.bits)
            except _REFUSED as exc:
                self._refused(ev, f"cannot create a state with bits {ev.bits}: {exc}")
                return
            self.bits = ev.bits
        context = ev.context
        candidates = [tuple(c) if type(c) is list else c for c in ev.candidates]
        # The log keeps no NaN's sign; the candidate_hash does (see nan_signs).
        if self.bits is not None and (ev.line is None or ev.line.find(b"NaN", 0, ev.record_at) >= 0):
            context, candidates = self._nan_signs.restore(self.bits, context, candidates, record["t"], record["salt"],
                                                          record["candidate_hash"])
        self._builtin = None
        try:
            if self.steer:
                self._current = (record, f"{record['salt']}:{self.decision_count}")
                try:
                    replayed = sorvane.decide(self.state, context, candidates, record["t"], record["salt"],
                                              explore=self._explore)
                except _UseEngine:
                    self._builtin = None
                    replayed = sorvane.decide(self.state, context, candidates, record["t"], record["salt"])
            else:
                replayed = sorvane.decide(self.state, context, candidates, record["t"], record["salt"])
        except _REFUSED as exc:
            self._refused(ev, f"decide refuses the logged inputs: {exc}")
            return
        self.decision_count += 1
        self.pending += 1
        # A line that is exactly the replayed record's text agrees in every field.
        proven = ev.line is not None and ev.bits == self.bits and _renders_as(replayed, ev)
        if not (proven and self._builtin is None):
            self._compare(ev, replayed, proven)

    def _refused(self, ev, message):
        self._unreplayed.add(ev.record["decision_id"])
        self.findings.add(Finding(ev.lineno, "malformed", message))

    def _compare(self, ev, replayed, proven):
        record = ev.record
        if proven:
            diffs = []
        else:
            diffs = self._differences(ev, replayed)
            if diffs is None:
                return
        builtin = self._builtin
        steered = builtin is not None and (builtin[0] != record["chosen"]
                                           or not same_float(builtin[1], float(record["propensity"])))
        if not diffs:
            if steered:
                self.steered += 1
                self.findings.add(Finding(
                    ev.lineno, "host-policy",
                    "the built-in policy chooses otherwise; the logged choice was replayed as it stands",
                    [("chosen (built-in policy)", record["chosen"], builtin[0]),
                     ("propensity (built-in policy)", record["propensity"], builtin[1])]))
            return
        names = {d[0] for d in diffs}
        if not self.steer and names <= {"chosen", "propensity", "features"} and names & {"chosen", "propensity"}:
            raise NeedSteering
        if steered:
            diffs.append(("chosen (built-in policy)", record["chosen"], builtin[0]))
            diffs.append(("propensity (built-in policy)", record["propensity"], builtin[1]))
        self.findings.add(Finding(ev.lineno, "record-mismatch",
                                  "the replayed record differs in " + ", ".join(d[0].split("[")[0] for d in diffs),
                                  diffs))

    def _differences(self, ev, replayed):
        """The (field, logged, replayed) triples where the record differs,
        or None when the line itself is broken (then reported as such)."""
        record = ev.record
        diffs = []
        if ev.bits != self.bits:
            diffs.append(("bits", ev.bits, self.bits))
        _field_differences(record, replayed, _FIELDS_BEFORE_FEATURES, diffs)
        features = replayed.features
        try:
            logged = ev.parsed_features()
        except (ValueError, RecursionError):
            self.findings.add(Finding(ev.lineno, "not-json", "not JSON: record.features is broken"))
            return None
        if ev.features_text is not None:
            problem = features_problem(logged)
            if problem:
                self.findings.add(Finding(ev.lineno, "malformed", "decision line: " + problem))
                return None
        if not _features_list_match(logged, features):
            diffs.append(_features_difference(logged, features))
        _field_differences(record, replayed, _FIELDS_AFTER_FEATURES, diffs)
        return diffs

    # -- resolutions -------------------------------------------------------

    def resolution(self, ev):
        self.resolutions += 1
        if ev.reward is None:
            self.findings.add(Finding(ev.lineno, "resolution-mismatch",
                                      "the reward is null, but every resolution of learn or expire carries one",
                                      [("reward", None, None)]))
            return
        resolved = None
        if self.state is not None:
            when = math.nan if ev.kind == "rewarded" else math.inf
            try:
                resolved = sorvane.learn(self.state, ev.decision_id, ev.reward, when)
            except _REFUSED as exc:
                self.findings.add(Finding(ev.lineno, "malformed", f"learn refuses the logged resolution: {exc}"))
                return
        if resolved is None:
            if ev.decision_id in self._unreplayed:
                self._unreplayed.discard(ev.decision_id)
                return
            self.findings.add(Finding(
                ev.lineno, "unknown-id",
                f"no pending decision has the id {ev.decision_id!r}: no earlier decision line made it, "
                "or it was resolved already"))
            return
        self.pending -= 1
        reward = resolved.reward
        if resolved.kind == ev.kind and ev.reward == reward and reward != 0.0:
            return
        diffs = []
        if resolved.kind != ev.kind:
            diffs.append(("kind", ev.kind, resolved.kind))
        if not same_float(float(ev.reward), reward):
            diffs.append(("reward", ev.reward, reward))
        if diffs:
            if ev.kind == "expired" and resolved.kind == "rewarded":
                message = "the decision's t is NaN, so it can never expire"
            else:
                message = f"an expired resolution carries the default reward {resolved.reward!r}"
            self.findings.add(Finding(ev.lineno, "resolution-mismatch", message, diffs))

    def bad(self, ev):
        self.findings.add(Finding(ev.lineno, ev.kind, ev.message))

    def finish(self):
        if self.lines == 0:
            self.findings.add(Finding(1, "empty-log", "the log is empty: it holds no line"))

    def summary(self):
        return {
            "lines": self.lines,
            "decisions": self.decisions,
            "resolutions": self.resolutions,
            "pending": self.pending,
            "steered": self.steered,
        }


def _power_of_two(start):
    dim = start["dim"] if start else 0
    return dim & (dim - 1) == 0 and 2 <= dim <= 1 << 24


def replay_log(path, config, keep=10, progress=None):
    """Replays the whole log and returns the finished Replayer.

    `progress` is a factory: called with a label, it gives a context manager
    with an `update(bytes_read)` method.
    """
    proved = replay_natively(path, config, keep, progress)
    if proved is not None:
        return proved
    for steer in (False, True):
        replayer = Replayer(config, steer=steer, keep=keep)
        label = "replaying (steering host choices)" if steer else "replaying"
        was_enabled = gc.isenabled()
        # Parsed lines make no reference cycles; the collector would only
        # walk them over and over.
        gc.disable()
        try:
            with progress(label) as bar:
                decision, resolution, bad = replayer.decision, replayer.resolution, replayer.bad
                lines = 0
                for ev in read_log(path, bar.update):
                    lines += 1
                    kind = type(ev)
                    if kind is DecisionLine:
                        decision(ev)
                    elif kind is ResolutionLine:
                        resolution(ev)
                    else:
                        bad(ev)
                replayer.lines = lines
        except NeedSteering:
            continue
        finally:
            if was_enabled:
                gc.enable()
        replayer.finish()
        return replayer
    raise AssertionError("a steering pass never asks for another")
