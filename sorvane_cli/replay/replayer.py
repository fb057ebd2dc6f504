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
A log whose header declares a joint model replays through its taps, unsteered."""
import math

import sorvane

from sorvane_cli.log.events import each_event
from sorvane_cli.log.lines import features_problem
from sorvane_cli.log.snapshot import has_model_bits
from sorvane_cli.log.source import LogSource
from sorvane_cli.log.values import same_features, same_float
from sorvane_cli.policy import (
    builtin_probabilities,
    builtin_propensities,
    draw,
    draw_uniform,
    explore_accepts,
    steering_probabilities,
)
from sorvane_cli.replay.mixups import IdTrail
from sorvane_cli.replay.nan_signs import NanSigns
from sorvane_cli.replay.native import replay_natively, replay_summary
from sorvane_cli.replay.records import (
    FIELDS_AFTER_FEATURES,
    FIELDS_BEFORE_FEATURES,
    features_difference,
    field_differences,
    renders_as,
)
from sorvane_cli.replay.scratch import ScratchState
from sorvane_cli.report.findings import Finding, Findings, against_builtin, unknown_id

# Exceptions `decide` and `learn` raise for inputs they refuse.
_REFUSED = (TypeError, ValueError, OverflowError)
# A propensity this close (relatively) to one the built-in rule gives, but
# not equal, was changed in its last digits: no host's own rule lands there.
_LAST_DIGITS = 1e-12


class NeedSteering(Exception):
    """A decision differs only in its choice: replay again, steering."""


class _Unlike(Exception):
    """Raised by the steering callable when the built-in policy does not give
    the logged choice: the decide fails, changing nothing."""


class _UseEngine(Exception):
    """Raised by the steering callable when only the engine can reproduce
    the decision (NaN estimates give probabilities `explore` may not return)."""


class Replayer:
    """One pass over the log, event by event."""

    def __init__(self, config, steer=False, keep=10):
        self.config = config
        self.steer = steer
        self.findings = Findings(keep)
        self.state = config.initial_state()
        start = config.start
        self.bits = sorvane.model_bits(self.state) if self.state is not None and has_model_bits(start) else None
        # The joint model the log was written with, or None: the built-in model.
        self.model = config.initial_model(self.bits) if self.bits is not None else None
        self._decide_taps = _taps_of(self.model)
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
        self._steer_to = None
        # The decision the replay first diverged at: later ones follow from it.
        self.first_cause = None
        self._nan_signs = NanSigns()
        self._scratch = ScratchState()
        self._ids = IdTrail(start is not None)

    # -- decisions ---------------------------------------------------------

    def _explore(self, estimates, epsilon):
        record, decision_id = self._current
        probabilities = builtin_probabilities(estimates, epsilon)
        if not explore_accepts(probabilities):
            raise _UseEngine
        u = draw_uniform(decision_id, record["salt"])
        if self._steer_to is None:
            choice = draw(probabilities, u)
            self._builtin = (choice, probabilities[choice])
            if choice == record["chosen"] and same_float(probabilities[choice], float(record["propensity"])):
                return probabilities
            # The decide fails and changes nothing; the caller works out
            # which choice to replay, and decides again.
            raise _Unlike
        target, propensity = self._steer_to
        steered = steering_probabilities(len(estimates), target, propensity, u)
        return probabilities if steered is None else steered

    def _decide_steering(self, ev, context, candidates):
        """The decision replayed with the built-in policy where that gives
        the logged record, else with the host's choice: the logged chosen,
        or the candidate the logged features belong to when they are
        another's (the line was changed). Steering keeps the ledger, and so
        the model, as the host's were."""
        record = ev.record
        self._current = (record, f"{record['salt']}:{self.decision_count}")
        self._steer_to = None
        decide = sorvane.decide
        try:
            return decide(self.state, context, candidates, record["t"], record["salt"], explore=self._explore)
        except _UseEngine:
            self._builtin = None
            return decide(self.state, context, candidates, record["t"], record["salt"])
        except _Unlike:
            pass
        choice = self._scratch.owner_of(ev, context, candidates)
        self._steer_to = (record["chosen"] if choice is None else choice, float(record["propensity"]))
        return decide(self.state, context, candidates, record["t"], record["salt"], explore=self._explore)

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
            try:
                self.model = self.config.initial_model(ev.bits)
            except ValueError as exc:
                self._refused(ev, f"cannot make the log's joint model: {exc}")
                return
            self._decide_taps = _taps_of(self.model)
        context = ev.context
        candidates = [tuple(c) if type(c) is list else c for c in ev.candidates]
        # The log keeps no NaN's sign; the candidate_hash does (see nan_signs).
        if self.bits is not None and (ev.line is None or ev.line.find(b"NaN", 0, ev.record_at) >= 0):
            context, candidates = self._nan_signs.restore(self.bits, context, candidates, record["t"], record["salt"],
                                                          record["candidate_hash"])
        self._builtin = None
        self._steer_to = None
        try:
            if self.steer and self.model is None:
                replayed = self._decide_steering(ev, context, candidates)
            else:
                replayed = sorvane.decide(self.state, context, candidates, record["t"], record["salt"],
                                          **self._decide_taps)
        except _REFUSED as exc:
            self._refused(ev, f"decide refuses the logged inputs: {exc}")
            return
        cause = self._ids.check(ev.lineno, record, self.decision_count)
        if cause is not None:
            self.findings.add(cause)
            self.findings.cause = cause
        self.decision_count += 1
        self.pending += 1
        # A line that is exactly the replayed record's text agrees in every field.
        proven = ev.line is not None and ev.bits == self.bits and renders_as(replayed, ev)
        if not (proven and self._steer_to is None):
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
        builtin, steer_to = self._builtin, self._steer_to
        if steer_to is not None:
            self.steered += 1
            if steer_to[0] != record["chosen"]:
                self.findings.add(Finding(
                    ev.lineno, "record-mismatch",
                    f"the logged features are those of candidate {steer_to[0]}, not of the chosen one: the line "
                    f"was changed (the decision was replayed with candidate {steer_to[0]})", diffs))
                return
        if diffs:
            names = {d[0] for d in diffs}
            if (not self.steer and self.model is None and names <= {"chosen", "propensity", "features"}
                    and names & {"chosen", "propensity"}):
                raise NeedSteering
            if builtin is not None and steer_to is not None:
                diffs += against_builtin(record, builtin)
            self.findings.add(Finding(ev.lineno, "record-mismatch",
                                      "the replayed record differs in " + ", ".join(d[0].split("[")[0] for d in diffs),
                                      diffs))
            return
        if steer_to is not None:
            self._unreproduced(ev, builtin)

    def _unreproduced(self, ev, builtin):
        """Says why the built-in policy does not give a logged decision
        that the log otherwise holds together: a propensity the rule cannot
        give is the host's own score/explore; one a few bits off what it
        gives was changed; one it gives means the replayed model is not the
        host's. That last cause is reported once: the decisions after it
        follow from it."""
        record = ev.record
        logged = float(record["propensity"])
        n = len(ev.candidates)
        possible = builtin_propensities(self.config.epsilon, n)
        against = against_builtin(record, builtin)
        if logged in possible:
            if self.first_cause is not None:
                self.first_cause.follows += 1
                return
            self.first_cause = Finding(ev.lineno, "diverged", self._divergence_message(n), against, follows=0)
            self.findings.add(self.first_cause)
            return
        near = [p for p in possible if abs(p - logged) <= _LAST_DIGITS * p]
        if near:
            self.findings.add(Finding(ev.lineno, "record-mismatch",
                                      "the propensity differs in its last digits from one the built-in rule gives: "
                                      "the line was changed", [("propensity", record["propensity"], near[0])]))
            return
        self.findings.add(Finding(
            ev.lineno, "host-policy",
            "the logged propensity is none the built-in rule gives (epsilon "
            f"{self.config.epsilon!r}, {n} candidates): the host's own score/explore made this decision; "
            "it was replayed as logged", against))

    def _divergence_message(self, n):
        config = self.config
        lead = (f"the built-in policy chooses otherwise, though the logged propensity is one it gives (epsilon "
                f"{config.epsilon!r}, {n} candidates): the replayed model is no longer the host's, or the host "
                "scored with its own score callable. ")
        guessed = [flag for flag in config.guessed() if flag != "--horizon"]
        if guessed:
            defaults = ", ".join(f"{flag} {getattr(config, flag[2:].replace('-', '_'))!r}" for flag in guessed)
            return lead + (f"Most likely the configuration differs: nothing in the log gives {', '.join(guessed)}, "
                           f"so the defaults were used ({defaults}); or an earlier line was changed or lost")
        given = [f"--{name.replace('_', '-')} {getattr(config, name)!r}" for name, source in config.sources.items()
                 if source == "flag" and name != "horizon"]
        if given:
            return lead + f"Most likely a flag differs from the host's ({', '.join(given)}), or an earlier line " \
                          "was changed or lost"
        return lead + "An earlier line was changed or lost (the log fixes the configuration)"

    def _differences(self, ev, replayed):
        """The (field, logged, replayed) triples where the record differs,
        or None when the line itself is broken (then reported as such)."""
        record = ev.record
        diffs = []
        if ev.bits != self.bits:
            diffs.append(("bits", ev.bits, self.bits))
        field_differences(record, replayed, FIELDS_BEFORE_FEATURES, diffs)
        features = replayed.features
        try:
            logged = ev.parsed_features()
        except (ValueError, RecursionError):
            self.findings.add(Finding(ev.lineno, "not-json", "record.features is broken"))
            return None
        if ev.features_text is not None:
            problem = features_problem(logged)
            if problem:
                self.findings.add(Finding(ev.lineno, "malformed", "decision line: " + problem))
                return None
        if not same_features(logged, features):
            diffs.append(features_difference(logged, features))
        field_differences(record, replayed, FIELDS_AFTER_FEATURES, diffs)
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
                resolved = sorvane.learn(self.state, ev.decision_id, ev.reward, when,
                                         train=self.model.train if self.model is not None else None)
            except _REFUSED as exc:
                self.findings.add(Finding(ev.lineno, "malformed", f"learn refuses the logged resolution: {exc}"))
                return
        if resolved is None:
            if ev.decision_id in self._unreplayed:
                self._unreplayed.discard(ev.decision_id)
                return
            self.findings.add(unknown_id(ev.lineno, ev.decision_id))
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
        self._ids.finish()
        if self.lines == 0:
            self.findings.add(Finding(None, "empty-log", "the log holds no line"))

    def model_text(self):
        """The replayed joint model's serialize text, or None for the built-in model."""
        return None if self.model is None else self.model.serialize()

    def configuration(self):
        """The configuration replayed with, each value with where it came from."""
        return self.config.described(self.bits)

    def summary(self):
        return replay_summary(self, self.steered)


def _taps_of(model):
    return {} if model is None else {"score": model.score, "explore": model.explore}


def replay_log(source, config, keep=10, progress=None, max_line_bytes=None, span=None):
    """Replays the whole log and returns the finished Replayer.

    `source` is a path or a LogSource of one (a second pass, when the host's
    own choices must be steered, reads the path again). `progress` is a
    factory: called with a label, it gives a context manager with an
    `update(bytes_read)` method. `span` replays only part of the log (see
    read_log), from the state `config` gives, without the whole-log checks.
    """
    if isinstance(source, LogSource):
        path, max_line_bytes = source.path, source.max_line_bytes
    else:
        path, source = source, None
    # The native path replays whole logs; a span is a checkpoint's segment.
    proved = None if span is not None else replay_natively(
        source if source is not None else path, config, keep, progress, max_line_bytes)
    if proved is not None:
        return proved
    if span is None and source is not None and source.path != "-":
        # The native path read it up: the Python replay reads the log again.
        source = None
    for steer in (False, True):
        replayer = Replayer(config, steer=steer, keep=keep)
        label = "replaying (steering host choices)" if steer else "replaying"
        log = source if source is not None and not steer else LogSource(path, max_line_bytes)
        try:
            replayer.lines = each_event(log, progress, label, replayer.decision, replayer.resolution, replayer.bad,
                                        span)
        except NeedSteering:
            continue
        if span is None:
            replayer.finish()
        return replayer
    raise AssertionError("a steering pass never asks for another")
