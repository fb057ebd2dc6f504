"""The evaluation of targets on a log: what each would have earned, in one
pass over the log, by either method or both.

Three methods, chosen with --method:

- longrun (the default; longrun.py): every logged decision gives a doubly
  robust term for the target as it stands, and the target learns only from
  the decisions it accepts, so the estimate stands for a run as long as the
  decisions accepted (a large share of the log). The reward model of the
  terms (reward_model.py) is fitted on the log in a first pass.
- rejection (rejection.py): each target's own online run is simulated on
  the logged traffic, keeping each event with probability
  target_prob / (M x logged_propensity), M the target's own bound: a run
  of about 1 / M of the log.
- weighted: each target (its epsilon, bits, forgetfulness and default
  reward) learns in a state from every logged outcome in log order; for
  each logged decision it is asked through the module itself, `decide` on
  the target's state with an `explore` callable that sees the target
  model's estimates, records the target's built-in epsilon-greedy
  probabilities, and returns all probability on the logged candidate. The
  ledger therefore holds the logged choice, hashed at the target's own bits,
  and when the outcome arrives `learn` trains the target on it with the
  logged reward (or, expired, with the target's default reward). IPS, SNIPS
  and DR weigh the logged rewards by target_prob / logged_propensity
  (estimators.py). Targets whose models cannot differ share one state
  (learners.py).

The value measured is the logged reward: an expired decision counts with the
reward its resolution line carries (the logging state's default reward),
whatever default reward a target trains with. Decisions still pending at the
end of the log are left out and reported as a share. The logging
configuration itself is evaluated too, as the baseline.

Every line is read and checked for its shape, what the evaluation does not
use included (a decision's feature list); problems are reported as verify
reports them, and a log with problems gives no estimates.
"""
import math

import sorvane

from sorvane_cli.evaluation.estimators import Terms
from sorvane_cli.evaluation.learners import group
from sorvane_cli.evaluation.longrun import DEFAULT_REPEAT, DEFAULT_SCALE, LongRun
from sorvane_cli.evaluation.native import evaluate_natively
from sorvane_cli.evaluation.native_longrun import fit_natively, longrun_natively
from sorvane_cli.evaluation.rejection import RejectionRun, acceptance_uniform, bound
from sorvane_cli.evaluation.reward_model import RewardModel
from sorvane_cli.evaluation.targets import build_targets, fresh_state
from sorvane_cli.log.events import each_event
from sorvane_cli.log.lines import features_problem
from sorvane_cli.log.source import LogSource
from sorvane_cli.replay import native as native_replay
from sorvane_cli.report.findings import Finding, Findings, unknown_id

_NAN, _INF, _isfinite = math.nan, math.inf, math.isfinite
_REFUSED = (TypeError, ValueError, OverflowError)

_DIGITS = b"0123456789"


def _plain_feature_list(text):
    """Whether `text` is laid out as log_line lays out a feature list:
    [[index,value],...], each index of digits alone and each value of
    digits, points, signs and exponents (NaN and Infinity, spaces or another
    layout go to the full check). One pass over the bytes and a few counts,
    whatever the length, so eval checks every line it reads."""
    left = text.translate(None, _DIGITS)
    if left == b"[]":
        return True
    pairs = left.count(b"[") - 1
    return (pairs > 0 and left.startswith(b"[[,") and left.endswith(b"]]") and left.count(b"]") == pairs + 1
            and left.count(b",") == 2 * pairs - 1 and left.count(b"],[,") == pairs - 1
            and not left.translate(None, b"[],.eE+-") and b"[," not in text and b",]" not in text)


class Evaluation:
    """One pass over the log for every target, by one method or both."""

    # A last line the writer left incomplete: left out, the lines before it evaluated.
    left_out = None

    def __init__(self, targets, config, weighted=True, rejection=False, seed=0, candidate_counts=(), keep=10,
                 replays=5, reward_model=None, scale=DEFAULT_SCALE, repeat=DEFAULT_REPEAT):
        self.targets = targets
        self.repeat = repeat
        # The long-run replay: its reward model (fitted on the log), and runs[replay][target].
        self.reward_model = reward_model
        self.scale = scale
        self.long_runs = []
        # Resolutions of decisions pending in the saved state that came before the first decision line.
        self._early = []

        self.replays = replays
        self.config = config
        self.weighted = weighted
        self.seed = seed
        self.findings = Findings(keep)
        # Made at the first decision line, which gives the log's bits.
        self.learners = None
        # runs[replay][target], made with the learners
        self.runs = []
        # Each target's own M, so its estimate does not depend on the others passed.
        self.bounds = ([bound(config.epsilon, [t.top_epsilon()], candidate_counts or (1,)) for t in targets]
                       if rejection else None)
        self.bound = max(self.bounds) if rejection else None
        self.lines = 0
        self.decisions = 0
        self.resolved = 0
        self.excluded = 0
        self.logged = Terms()
        # logged decision id -> (position, logged propensity, [(learner, its id, seen) per learner])
        self.pending = {}
        # Ids of decision lines that could not be evaluated: their resolutions are skipped.
        self._skipped = set()

    def _start(self, bits):
        # Targets that leave their bits open take the log's.
        for target in self.targets:
            if target.bits is None:
                target.bits = bits
        self.learners = group(self.targets, bits) if self.weighted else []
        if self.reward_model is not None:
            for _ in range(self.replays):
                self.long_runs.append([LongRun(target, self.scale, fresh_state(target), self.repeat) for target in self.targets])
        if self.bound is not None:
            for _ in range(self.replays):
                runs = []
                for target, m in zip(self.targets, self.bounds):
                    run = RejectionRun(target, m, self.seed)
                    state = None
                    if target.state is not None or target.state_text is not None:
                        # The saved state, a copy of its own, apart from the weighted learner's.
                        state = fresh_state(target)
                    run.start(target.bits, state)
                    runs.append(run)
                self.runs.append(runs)
        # Decisions pending in the saved state, resolved before the first decision line.
        for decision_id, reward, when in self._early:
            self._resolve_saved(decision_id, reward, when)

    def _resolve_saved(self, decision_id, reward, when):
        """A decision pending in the saved state, resolved in the log: every
        other state that continues the saved one learns it (an expired one
        with that state's own default reward). The baseline learned it already."""
        baseline = self.targets[0].state
        # Each state with its joint model's train tap, if it has one.
        owners = [(learner.state, learner.train) for learner in self.learners if learner.state is not baseline]
        owners += [(run.state, run.train) for runs in self.runs + self.long_runs for run in runs]
        for state, train in owners:
            sorvane.learn(state, decision_id, reward, when, train=train)

    def _problem(self, ev, kind, message):
        self._skipped.add(ev.record["decision_id"])
        self.findings.add(Finding(ev.lineno, kind, message))

    def decision(self, ev):
        self.decisions += 1
        record = ev.record
        if ev.features_text is not None and not _plain_feature_list(ev.features_text):
            try:
                problem = features_problem(ev.parsed_features())
            except (ValueError, RecursionError):
                problem = "record.features is broken"
                kind = "not-json"
            else:
                kind = "malformed"
            if problem:
                self._problem(ev, kind, problem if kind == "not-json" else "decision line: " + problem)
                return
        n = len(ev.candidates)
        chosen = record["chosen"]
        if not 0 <= chosen < n:
            self._problem(ev, "malformed", f"record.chosen is {chosen}, but the line has {n} candidates")
            return
        decision_id = record["decision_id"]
        if decision_id in self.pending:
            self._problem(ev, "malformed", f"the decision id {decision_id!r} is already pending")
            return
        candidates = [tuple(c) if type(c) is list else c for c in ev.candidates]
        t, salt, context = record["t"], record["salt"], ev.context
        propensity = float(record["propensity"])
        try:
            if self.learners is None:
                self._start(ev.bits)
            per_learner = [(learner, *learner.decide(context, candidates, t, salt, chosen))
                           for learner in self.learners]
            if self.runs and propensity > 0.0 and _isfinite(propensity):
                for replay, runs in enumerate(self.runs):
                    u = acceptance_uniform(self.seed, decision_id, replay)
                    for run in runs:
                        run.decision(self.decisions, decision_id, u, context, candidates, t, salt, chosen,
                                     propensity)
            if self.long_runs and propensity > 0.0 and _isfinite(propensity):
                rhat = self.reward_model.predict(context, _candidate_keys(candidates))
                for replay, runs in enumerate(self.long_runs):
                    u = acceptance_uniform(self.seed, decision_id, replay)
                    for run in runs:
                        run.decision(decision_id, u, context, candidates, t, salt, chosen, propensity, rhat)
        except _REFUSED as exc:
            self._problem(ev, "malformed", f"decide refuses the logged inputs: {exc}")
            return
        self.pending[decision_id] = (self.decisions, propensity, per_learner)

    def resolution(self, ev):
        entry = self.pending.pop(ev.decision_id, None)
        if entry is None:
            if ev.decision_id in self._skipped:
                self._skipped.discard(ev.decision_id)
                return
            baseline = self.targets[0].state
            if baseline is not None and ev.reward is not None:
                # A decision made before the log began, pending in the state it
                # continues from: the baseline learns it; nothing else can.
                when = math.nan if ev.kind == "rewarded" else math.inf
                # A joint baseline's model trains on it too, as the host's did.
                train = next((learner.train for learner in self.learners or ()
                              if learner.targets[0] is self.targets[0]), None)
                if sorvane.learn(baseline, ev.decision_id, ev.reward, when, train=train) is not None:
                    if self.learners is None:
                        self._early.append((ev.decision_id, ev.reward, when))
                    else:
                        self._resolve_saved(ev.decision_id, ev.reward, when)
                    return
            self.findings.add(unknown_id(ev.lineno, ev.decision_id))
            return
        reward = ev.reward
        if reward is None:
            self.findings.add(Finding(ev.lineno, "resolution-mismatch",
                                      "the reward is null, but every resolution of learn or expire carries one",
                                      [("reward", None, None)]))
            return
        self.resolved += 1
        seq, propensity, per_learner = entry
        usable = propensity > 0.0 and _isfinite(propensity) and _isfinite(reward)
        if not usable:
            self.excluded += 1
        else:
            self.logged.add(seq, 1.0, reward, 0.0, 0.0)
        rewarded = ev.kind == "rewarded"
        learn = sorvane.learn
        for learner, learner_id, seen in per_learner:
            if rewarded:
                learn(learner.state, learner_id, reward, _NAN, train=learner.train)
            else:
                learn(learner.state, learner_id, learner.default_reward, _INF, train=learner.train)
            if usable:
                for terms, (pi, dm, q) in zip(learner.terms, seen):
                    terms.add(seq, pi / propensity, reward, dm, q)
        for runs in self.runs:
            for run in runs:
                run.resolution(ev.decision_id, ev.kind, reward)
        for runs in self.long_runs:
            for run in runs:
                run.resolution(ev.decision_id, ev.kind, reward)

    def bad(self, ev):
        if ev.kind == "incomplete":
            self.left_out = Finding(ev.lineno, ev.kind, ev.message)
            return
        self.findings.add(Finding(ev.lineno, ev.kind, ev.message))


def evaluate_log(source, config, settings, progress, method="weighted", seed=0, candidate_counts=(), keep=10,
                 replays=5, with_baseline=True, reward_model=None, scale=DEFAULT_SCALE):
    """The finished Evaluation of the log at `source` (a path or LogSource).

    `with_baseline` false leaves the logging configuration out;
    `reward_model` is the long-run replay's, when the caller fitted it (a
    sweep fits it once for all its jobs)."""
    targets = build_targets(config, settings, with_baseline)
    if method == "longrun" and reward_model is None:
        reward_model = fit_reward_model(source, progress)
        if isinstance(source, LogSource):
            source = LogSource(source.path, source.max_line_bytes)
    if method == "longrun":
        proved = longrun_natively(source, config, targets, progress, reward_model, seed, replays, scale, keep)
        if proved is not None:
            return proved
        if isinstance(source, LogSource) and source.path != "-":
            # The native path read it up: the Python evaluation reads the log again.
            source = LogSource(source.path, source.max_line_bytes)
    # The native path continues a saved state for the baseline only, and knows the built-in model alone.
    if (method == "weighted" and with_baseline and not any(t.state_text for t in targets)
            and all(t.learner is None for t in targets)):
        proved = evaluate_natively(source, config, targets, progress, keep)
        if proved is not None:
            return proved
        if isinstance(source, LogSource) and source.path != "-":
            # The native path read it up: the Python evaluation reads the log again.
            source = LogSource(source.path, source.max_line_bytes)
    evaluation = Evaluation(targets, config, weighted=method in ("weighted", "both"),
                            rejection=method in ("rejection", "both"), seed=seed,
                            candidate_counts=candidate_counts, keep=keep, replays=replays,
                            reward_model=reward_model if method == "longrun" else None, scale=scale)
    evaluation.lines = each_event(source, progress, "evaluating", evaluation.decision, evaluation.resolution,
                                  evaluation.bad)
    if evaluation.lines == 0:
        evaluation.findings.add(Finding(None, "empty-log", "the log holds no line"))
    return evaluation


def fit_reward_model(source, progress):
    """The long-run replay's reward model, fitted in a pass over the log
    (the native pass gathers its rows where it can)."""
    model = fit_natively(source, progress)
    if model is not None:
        return model
    if isinstance(source, LogSource) and native_replay.rereadable(source):
        # The native pass may have read it up.
        source = LogSource(source.path, source.max_line_bytes)
    model = RewardModel()
    chosen = {}

    def decision(ev):
        try:
            candidate = ev.candidates[ev.record["chosen"]]
            key = candidate[0] if type(candidate) in (list, tuple) and candidate else candidate
            chosen[ev.record["decision_id"]] = (ev.context, key if type(key) is str else repr(key))
        except (IndexError, KeyError, TypeError):
            pass

    def resolution(ev):
        entry = chosen.pop(ev.decision_id, None)
        if entry is not None and ev.reward is not None and type(entry[0]) is dict:
            model.observe(entry[0], entry[1], ev.reward)

    each_event(source, progress, "fitting the reward model", decision, resolution, lambda ev: None)
    model.fit()
    return model


def _candidate_keys(candidates):
    out = []
    for c in candidates:
        key = c[0] if type(c) in (list, tuple) and c else c
        out.append(key if type(key) is str else repr(key))
    return out


def default_replays(args):
    """--replays, else 3 for the long-run replay (its terms cover the whole
    log) and 5 for rejection sampling."""
    replays = getattr(args, "replays", None)
    if replays is None:
        replays = 3 if getattr(args, "method", "weighted") == "longrun" else 5
    return replays
