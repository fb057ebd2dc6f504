"""`sorvane eval`: what target configurations would have earned on the log.

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
import sys

import sorvane

from .config import UsageError
from .estimators import (ESTIMATORS, NAMES, Terms, bootstrap_intervals, normal_interval, point_estimates,
                         running_estimates)
from .dispatch import each_event
from .findings import Finding, Findings
from .learners import group
from .logread import features_problem
from .logsource import LogSource
from .native_eval import evaluate_natively
from .output import findings_text, interval, number, table, to_json
from .output_files import OutputError
from .longrun import CAVEAT, DEFAULT_REPEAT, DEFAULT_SCALE, LongRun
from .longrun import summary as longrun_summary
from .rejection import RejectionRun, acceptance_uniform, bound, replay_summary
from .reward_model import RewardModel
from .snapshot import reconfigured
from .status import Exit

_NAN, _INF, _isfinite = math.nan, math.inf, math.isfinite
_KEYS = {"name": str, "epsilon": float, "bits": int, "forgetfulness": float, "default_reward": float}
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


def _build_targets(config, settings, with_baseline=True):
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


def _fresh_state(target):
    """A state of the target's own for one replay: the saved state it
    continues, else a new one."""
    text = target.state_text
    if text is None and target.state is not None:
        text = sorvane.serialize(target.state)
    if text is not None:
        return sorvane.deserialize(text)
    return sorvane.create(target.bits, target.horizon, target.default_reward, target.epsilon, target.forgetfulness)


def fit_reward_model(source, progress):
    """The long-run replay's reward model, fitted in a pass over the log."""
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


class Evaluation:
    """One pass over the log for every target, by one method or both."""

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
        self.bounds = ([bound(config.epsilon, [t.epsilon], candidate_counts or (1,)) for t in targets]
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
                self.long_runs.append([LongRun(target, self.scale, _fresh_state(target), self.repeat) for target in self.targets])
        if self.bound is not None:
            for _ in range(self.replays):
                runs = []
                for target, m in zip(self.targets, self.bounds):
                    run = RejectionRun(target, m, self.seed)
                    state = None
                    if target.state is not None or target.state_text is not None:
                        # The saved state, a copy of its own, apart from the weighted learner's.
                        state = _fresh_state(target)
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
        states = [learner.state for learner in self.learners if learner.state is not baseline]
        states += [run.state for runs in self.runs for run in runs]
        states += [run.state for runs in self.long_runs for run in runs]
        for state in states:
            sorvane.learn(state, decision_id, reward, when)

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
                if sorvane.learn(baseline, ev.decision_id, ev.reward, when) is not None:
                    if self.learners is None:
                        self._early.append((ev.decision_id, ev.reward, when))
                    else:
                        self._resolve_saved(ev.decision_id, ev.reward, when)
                    return
            self.findings.add(Finding(
                ev.lineno, "unknown-id",
                f"no pending decision has the id {ev.decision_id!r}: no earlier decision line made it, "
                "or it was resolved already"))
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
                learn(learner.state, learner_id, reward, _NAN)
            else:
                learn(learner.state, learner_id, learner.default_reward, _INF)
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
        self.findings.add(Finding(ev.lineno, ev.kind, ev.message))


def evaluate_log(source, config, settings, progress, method="weighted", seed=0, candidate_counts=(), keep=10,
                 replays=5, with_baseline=True, reward_model=None, scale=DEFAULT_SCALE):
    """The finished Evaluation of the log at `source` (a path or LogSource).

    `with_baseline` false leaves the logging configuration out;
    `reward_model` is the long-run replay's, when the caller fitted it (a
    sweep fits it once for all its jobs)."""
    targets = _build_targets(config, settings, with_baseline)
    if method == "longrun" and reward_model is None:
        reward_model = fit_reward_model(source, progress)
        if isinstance(source, LogSource):
            source = LogSource(source.path, source.max_line_bytes)
    # The native path continues a saved state for the baseline only.
    if method == "weighted" and with_baseline and not any(t.state_text for t in targets):
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


def _summary(terms, resamples, seed, draws):
    """Estimate, standard error and both intervals of the mean of `terms`'
    rewards (their weights all 1)."""
    points, _ = point_estimates(terms)
    estimate, error = points["ips"]
    boot, _ = bootstrap_intervals(terms, resamples, seed, draws)
    return {"estimate": estimate, "stderr": error, "ci_bootstrap": list(boot["ips"]) if resamples else None,
            "ci_normal": list(normal_interval(estimate, error))}


def report(evaluation, path, resamples, seed):
    decisions = evaluation.decisions
    out = {
        "log": path,
        "evaluated": True,
        "decisions": decisions,
        "resolved": evaluation.resolved,
        "pending": len(evaluation.pending),
        "pending_share": len(evaluation.pending) / decisions if decisions else math.nan,
        "excluded": evaluation.excluded,
        "logged_mean": _summary(evaluation.logged, resamples, seed, {}),
        "bootstrap": {"resamples": resamples, "seed": seed, "blocks": 0},
        "targets": [],
    }
    if evaluation.bound is not None:
        out["rejection"] = {"bound": evaluation.bound, "seed": seed, "replays": evaluation.replays}
    # The lowest and highest logged reward: no policy earns outside them.
    rewards = evaluation.logged.r
    low, high = (min(rewards), max(rewards)) if len(rewards) else (_INF, -_INF)
    out["reward_range"] = [low, high] if low <= high else None
    # Past rounding: a sum of terms may miss a bound by a few ulps.
    slack = 1e-9 * max(1.0, abs(low), abs(high)) if low <= high else 0.0
    outside = ((lambda x: _isfinite(x) and not low - slack <= x <= high + slack) if low <= high
               else (lambda x: False))
    if getattr(evaluation, "reward_model", None) is not None:
        out["longrun"] = {"scale": evaluation.scale, "repeat": evaluation.repeat, "seed": seed,
                          "replays": evaluation.replays}
    draws = {}
    for k, target in enumerate(evaluation.targets):
        entry = {"name": target.name, "config": target.config()}
        if evaluation.weighted:
            points, ess = point_estimates(target.terms)
            boot, blocks = bootstrap_intervals(target.terms, resamples, seed, draws)
            out["bootstrap"]["blocks"] = max(out["bootstrap"]["blocks"], blocks)
            estimators = {}
            for name in ESTIMATORS:
                estimate, error = points[name]
                estimators[name] = {"estimate": estimate, "stderr": error,
                                    "ci_bootstrap": list(boot[name]) if resamples else None,
                                    "ci_normal": list(normal_interval(estimate, error)),
                                    "outside_rewards": outside(estimate)}
            entry.update(n=len(target.terms), ess=ess, estimators=estimators)
        if evaluation.runs:
            entry["rejection"] = replay_summary([runs[k] for runs in evaluation.runs])
            entry["rejection"]["bound"] = evaluation.bounds[k]
            entry["rejection"]["outside_rewards"] = outside(entry["rejection"]["estimate"])
        if getattr(evaluation, "long_runs", None):
            entry["longrun"] = longrun_summary([runs[k] for runs in evaluation.long_runs])
            entry["longrun"]["outside_rewards"] = outside(entry["longrun"]["estimate"])
        out["targets"].append(entry)
    return out


def _problems_report(evaluation, path):
    findings = evaluation.findings
    return {"log": path, "evaluated": False, "decisions": evaluation.decisions, "problems": findings.total,
            "mismatches": dict(findings.counts), "first": [f.as_dict() for f in findings.first]}


def _ci(pair):
    return "-" if pair is None else interval(pair)


def report_text(rep):
    head = (f"{rep['log']}: {rep['decisions']} decisions, {rep['resolved']} resolved, "
            f"{rep['pending_share']:.1%} pending")
    if rep["excluded"]:
        head += f", {rep['excluded']} left out (no usable propensity or reward)"
    logged = rep["logged_mean"]
    parts = [head, f"mean logged reward {number(logged['estimate'])}, 95% CI {_ci(logged['ci_normal'])} "
                   "(what the logging state earned)"]
    boot = rep["bootstrap"]
    flagged = []
    if "longrun" in rep:
        rows = []
        for target in rep["targets"]:
            e = target["longrun"]
            if e["terms"]:
                rows.append([target["name"], number(e["estimate"]), number(e["stderr"]), _ci(e["ci"]),
                             str(e["run_length"]), f"{e['accepted_share']:.1%}"])
            else:
                rows.append([target["name"], "-", "-", "-", "0", "-"])
            if e["outside_rewards"]:
                flagged.append(target["name"])
        longrun = rep["longrun"]
        ratio = f"{longrun['scale']:g} x target_prob / logged_propensity"
        accepted = (f"each learned from {ratio} times, the fraction by a draw" if longrun["repeat"]
                    else f"acceptance min(1, {ratio})")
        parts.append(f"\nlong-run replay: each target's run over the decisions it accepts ({accepted}), every "
                     f"decision a doubly robust term; {longrun['replays']} replays, seed {longrun['seed']}")
        parts.append(table(rows, ["target", "estimate", "std.err", "95% CI", "run length", "accepted"]))
        parts.append("each estimate is the mean reward per decision of a run as long as its run length "
                     "(decisions the target learned from); " + CAVEAT)
        if any(t["longrun"]["terms"] == 0 for t in rep["targets"]):
            parts.append("no estimate: the log has no resolved decision with a usable propensity and reward")
    if "rejection" in rep:
        rows = []
        for target in rep["targets"]:
            e = target["rejection"]
            if e["kept"]:
                rows.append([target["name"], number(e["estimate"]), number(e["stderr"]), _ci(e["ci"]),
                             str(e["kept"]), f"{e['kept_share']:.2%}", f"{e['bound']:.4g}"])
            else:
                rows.append([target["name"], "-", "-", "-", "0", "0%", f"{e['bound']:.4g}"])
            if e["outside_rewards"]:
                flagged.append(target["name"])
        rejection = rep["rejection"]
        parts.append(f"\nrejection sampling: each target's own online run over the events kept, "
                     f"{rejection['replays']} replays (seed {rejection['seed']}), each target with its own bound M")
        parts.append(table(rows, ["target", "estimate", "std.err", "95% CI (t, replays)", "kept", "kept share", "M"]))
        empty = [t for t in rep["targets"] if t["rejection"]["kept"] == 0]
        if empty:
            worst = max(t["rejection"]["bound"] for t in empty)
            parts.append(f"no estimate for {', '.join(t['name'] for t in empty)}: nothing was kept. The bound "
                         f"M = {worst:.4g} keeps about 1 in {worst:.4g} decisions, and {rep['resolved']} resolved "
                         f"decisions keep none in {rejection['replays']} replays. --method longrun evaluates on "
                         f"most of the log; rejection sampling needs a log of about {20 * worst:.3g} decisions "
                         "to keep some 20 events per replay")
        over = [t["name"] for t in rep["targets"] if t["rejection"]["over_bound"]]
        if over:
            parts.append(f"warning: some events went past the bound M for {', '.join(over)} (more candidates than "
                         "at the log's head, or host decisions): those estimates may lean toward the logged choices")
    if "estimators" in rep["targets"][0]:
        rows = []
        for target in rep["targets"]:
            for k, name in enumerate(ESTIMATORS):
                e = target["estimators"][name]
                rows.append([target["name"] if k == 0 else "", NAMES[name], number(e["estimate"]),
                             number(e["stderr"]), _ci(e["ci_bootstrap"]), _ci(e["ci_normal"]),
                             number(target["ess"], 1) if k == 0 else ""])
        parts.append("\nweighted: every target learns from every logged choice, weighed by "
                     "target_prob / logged_propensity")
        parts.append(table(rows, ["target", "estimator", "estimate", "std.err", "95% CI bootstrap",
                                  "95% CI normal", "ESS"]))
        parts.append("ESS = effective sample size")
        flagged += [t["name"] for t in rep["targets"]
                    if any(e["outside_rewards"] for e in t["estimators"].values())]
    if flagged and rep["reward_range"] is not None:
        low, high = rep["reward_range"]
        parts.append(f"warning: estimates outside the logged rewards [{number(low)}, {number(high)}] for "
                     f"{', '.join(dict.fromkeys(flagged))}: no policy earns that; the estimate is too noisy to use")
    if boot["resamples"]:
        parts.append(f"bootstrap: {boot['resamples']} resamples of blocks of consecutive decisions, "
                     f"seed {boot['seed']}")
    else:
        parts.append("bootstrap: none (--bootstrap 0)")
    return "\n".join(parts)


def default_replays(args):
    """--replays, else 3 for the long-run replay (its terms cover the whole
    log) and 5 for rejection sampling."""
    replays = getattr(args, "replays", None)
    if replays is None:
        replays = 3 if getattr(args, "method", "weighted") == "longrun" else 5
    return replays


def _series(evaluation):
    """(axis label, [(target name, [(k, value)])]) for every plotted estimate."""
    out = []
    if getattr(evaluation, "long_runs", None):
        lines = []
        for run in evaluation.long_runs[0]:
            step = max(len(run.terms) // 400, 1)
            total, points = 0.0, []
            for k, term in enumerate(run.terms, 1):
                total += term
                if k % step == 0:
                    points.append((k, total / k))
            lines.append((run.target.name, points))
        out.append(("long-run", lines))
    if evaluation.runs:
        out.append(("rejection", [(run.target.name, [(k, v["ips"]) for k, v in running_estimates(run.kept, 400)])
                                  for run in evaluation.runs[0]]))
    if evaluation.weighted:
        for name in ESTIMATORS:
            out.append((NAMES[name], [(t.name, [(k, v[name]) for k, v in running_estimates(t.terms, 400)])
                                      for t in evaluation.targets]))
    return out


def plot(evaluation, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'sorvane[plot]'") from None
    series = _series(evaluation)
    fig, axes = plt.subplots(len(series), 1, sharex=False, figsize=(8, 2.6 * len(series)), squeeze=False)
    for ax, (label, lines) in zip(axes[:, 0], series):
        for name, points in lines:
            ax.plot([k for k, _ in points], [v for _, v in points], label=name)
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
    axes[0, 0].legend(loc="best", fontsize="small")
    axes[-1, 0].set_xlabel("resolved decisions (kept events for rejection)")
    fig.suptitle("running estimates of each target's value")
    fig.tight_layout()
    try:
        fig.savefig(path)
    except OSError as exc:
        raise OutputError(f"cannot write --plot {path}: {exc.strerror or exc}") from None
    finally:
        plt.close(fig)


def run_eval(args, config, progress, out=None, source=None, head=None):
    out = out if out is not None else sys.stdout
    counts = head.candidate_counts if head is not None else ()
    evaluation = evaluate_log(source if source is not None else args.log, config, args.target, progress,
                              method=getattr(args, "method", "weighted"), seed=args.seed, candidate_counts=counts,
                              keep=getattr(args, "show", 10), replays=default_replays(args),
                              scale=getattr(args, "accept_scale", None) or DEFAULT_SCALE)
    if evaluation.findings.counts:
        if args.json:
            out.write(to_json(_problems_report(evaluation, args.log)) + "\n")
        else:
            lines = [f"{args.log}: {evaluation.lines} lines, {evaluation.decisions} decisions"]
            lines += findings_text(evaluation.findings)
            lines.append("NOT EVALUATED: the log has problems (`sorvane verify` proves what it can of it)")
            out.write("\n".join(lines) + "\n")
        return Exit.PROBLEMS
    rep = report(evaluation, args.log, args.bootstrap, args.seed)
    if args.plot:
        plot(evaluation, args.plot)
    out.write((to_json(rep) if args.json else report_text(rep)) + "\n")
    return Exit.OK
