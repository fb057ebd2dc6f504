"""The evaluation of targets on a log: what each would have earned, in one
pass over the log, by either method or both.

Two methods, chosen with --method:

- rejection (the default; rejection.py): each target's own online run is
  simulated on the logged traffic, keeping each event with probability
  target_prob / (M x logged_propensity). Right for targets that learn and
  explore otherwise than the logging state.
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
from sorvane_cli.evaluation.native import evaluate_natively
from sorvane_cli.evaluation.rejection import RejectionRun, acceptance_uniform, bound
from sorvane_cli.evaluation.targets import build_targets
from sorvane_cli.log.events import each_event
from sorvane_cli.log.lines import features_problem
from sorvane_cli.log.source import LogSource
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
                 replays=5):
        self.targets = targets
        self.replays = replays
        self.config = config
        self.weighted = weighted
        self.seed = seed
        self.findings = Findings(keep)
        # Made at the first decision line, which gives the log's bits.
        self.learners = None
        # runs[replay][target], made with the learners
        self.runs = []
        self.bound = (bound(config.epsilon, [t.top_epsilon() for t in targets], candidate_counts or (1,))
                      if rejection else None)
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
        if self.bound is not None:
            for _ in range(self.replays):
                runs = []
                for target in self.targets:
                    run = RejectionRun(target, self.bound, self.seed)
                    state = None
                    if target.state is not None:
                        # The baseline's saved state: a copy of its own, apart from the weighted learner's.
                        state = sorvane.deserialize(sorvane.serialize(target.state))
                    run.start(target.bits, state)
                    runs.append(run)
                self.runs.append(runs)

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
                    for runs in self.runs:
                        sorvane.learn(runs[0].state, ev.decision_id, ev.reward, when, **runs[0]._train)
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

    def bad(self, ev):
        if ev.kind == "incomplete":
            self.left_out = Finding(ev.lineno, ev.kind, ev.message)
            return
        self.findings.add(Finding(ev.lineno, ev.kind, ev.message))


def evaluate_log(source, config, settings, progress, method="weighted", seed=0, candidate_counts=(), keep=10,
                 replays=5, with_baseline=True, rejection_bound=None):
    """The finished Evaluation of the log at `source` (a path or LogSource).

    `with_baseline` false leaves the logging configuration out;
    `rejection_bound` is M when the caller fixed it over more targets than
    these (a sweep's jobs share one)."""
    targets = build_targets(config, settings, with_baseline)
    if method == "weighted" and with_baseline and all(t.learner is None for t in targets):
        proved = evaluate_natively(source, config, targets, progress, keep)
        if proved is not None:
            return proved
        if isinstance(source, LogSource) and source.path != "-":
            # The native path read it up: the Python evaluation reads the log again.
            source = LogSource(source.path, source.max_line_bytes)
    evaluation = Evaluation(targets, config, weighted=method in ("weighted", "both"),
                            rejection=method in ("rejection", "both"), seed=seed,
                            candidate_counts=candidate_counts, keep=keep, replays=replays)
    if rejection_bound is not None and evaluation.bound is not None:
        evaluation.bound = rejection_bound
    evaluation.lines = each_event(source, progress, "evaluating", evaluation.decision, evaluation.resolution,
                                  evaluation.bad)
    if evaluation.lines == 0:
        evaluation.findings.add(Finding(None, "empty-log", "the log holds no line"))
    return evaluation
