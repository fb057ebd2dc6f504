"""`sorvane eval`: off-policy evaluation of target configurations on the log.

Each target (its epsilon, bits, forgetfulness and default reward) learns
in a state from the log's outcomes in log order, as it would have online.
For each logged decision the target is asked through the module itself:
`decide` on the target's state with an `explore` callable, which sees the
target model's estimates, works out the target's built-in epsilon-greedy
probabilities from them (what the engine would use), records those, and
returns all probability on the logged candidate. The target's
ledger therefore holds the logged choice, hashed at the target's own bits,
and when the outcome arrives `learn` trains the target on the logged
candidate with the logged reward (or, expired, with the target's default
reward): one decide and one learn per decision, nothing left pending.
Targets whose models cannot differ share one state (see learners.py).

The value measured is the logged reward: an expired decision counts with the
reward its resolution line carries (the logging state's default reward),
whatever default reward a target trains with. Decisions still pending at the
end of the log are left out and reported as a share.

The logging configuration itself is evaluated too, as the baseline; when the
log was written with the built-in policy its weights are all 1.
"""
import gc
import math
import sys

import sorvane

from .estimators import (ESTIMATORS, NAMES, Terms, bootstrap_intervals, normal_interval, point_estimates,
                         running_estimates)
from .findings import KINDS
from .learners import group
from .logread import DecisionLine, ResolutionLine, read_log
from .native_eval import evaluate_natively
from .output import interval, number, table, to_json
from .replay import UsageError

_NAN, _INF, _isfinite = math.nan, math.inf, math.isfinite
_KEYS = {"name": str, "epsilon": float, "bits": int, "forgetfulness": float, "default_reward": float}


class EvalError(Exception):
    """A line the evaluation cannot get past."""

    def __init__(self, lineno, kind, message):
        super().__init__(message)
        self.lineno = lineno
        self.kind = kind


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


def parse_targets(settings):
    """[{key: value}] from the --target arguments (key=value, commas allowed)."""
    targets = []
    for tokens in settings or []:
        fields = {}
        for token in ",".join(tokens).split(","):
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


def _build_targets(config, settings):
    horizon = config.horizon
    baseline = Target("logging", None, config.epsilon, config.forgetfulness, config.default_reward, horizon,
                      config.initial_state())
    if baseline.state is not None:
        try:
            baseline.bits = sorvane.model_bits(baseline.state)
        except ValueError as exc:
            raise UsageError(f"the state the log continues from cannot decide: {exc}") from None
    targets = [baseline]
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
        targets.append(t)
    return targets


class Evaluation:
    def __init__(self, targets):
        self.targets = targets
        # Made at the first decision line, which gives the log's bits.
        self.learners = None
        self.lines = 0
        self.decisions = 0
        self.resolved = 0
        self.excluded = 0
        # logged decision id -> (position, logged propensity, [(learner, its id, seen) per learner])
        self.pending = {}

    def decision(self, ev):
        self.decisions += 1
        record = ev.record
        n = len(ev.candidates)
        chosen = record["chosen"]
        if not 0 <= chosen < n:
            raise EvalError(ev.lineno, "malformed",
                            f"record.chosen is {chosen}, but the line has {n} candidates")
        candidates = [tuple(c) if type(c) is list else c for c in ev.candidates]
        t, salt, context = record["t"], record["salt"], ev.context
        try:
            if self.learners is None:
                self.learners = group(self.targets, ev.bits)
            per_learner = [(learner, *learner.decide(context, candidates, t, salt, chosen))
                           for learner in self.learners]
        except (TypeError, ValueError, OverflowError) as exc:
            raise EvalError(ev.lineno, "malformed", f"decide refuses the logged inputs: {exc}") from None
        decision_id = record["decision_id"]
        if decision_id in self.pending:
            raise EvalError(ev.lineno, "malformed", f"the decision id {decision_id!r} is already pending")
        self.pending[decision_id] = (self.decisions, float(record["propensity"]), per_learner)

    def resolution(self, ev):
        entry = self.pending.pop(ev.decision_id, None)
        if entry is None:
            baseline = self.targets[0].state
            if baseline is not None and ev.reward is not None:
                # A decision made before the log began, pending in the state it
                # continues from: the baseline learns it; nothing else can.
                when = math.nan if ev.kind == "rewarded" else math.inf
                if sorvane.learn(baseline, ev.decision_id, ev.reward, when) is not None:
                    return
            raise EvalError(ev.lineno, "unknown-id",
                            f"no pending decision has the id {ev.decision_id!r}: no earlier decision line made it, "
                            "or it was resolved already")
        reward = ev.reward
        if reward is None:
            raise EvalError(ev.lineno, "resolution-mismatch", "the reward is null")
        self.resolved += 1
        seq, propensity, per_learner = entry
        usable = propensity > 0.0 and _isfinite(propensity) and _isfinite(reward)
        if not usable:
            self.excluded += 1
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


def evaluate_log(path, config, settings, progress):
    targets = _build_targets(config, settings)
    proved = evaluate_natively(path, config, targets, progress)
    if proved is not None:
        return proved
    evaluation = Evaluation(targets)
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        with progress("evaluating") as bar:
            decision, resolution = evaluation.decision, evaluation.resolution
            lines = 0
            for ev in read_log(path, bar.update):
                lines += 1
                kind = type(ev)
                if kind is DecisionLine:
                    decision(ev)
                elif kind is ResolutionLine:
                    resolution(ev)
                else:
                    raise EvalError(ev.lineno, ev.kind, ev.message)
            evaluation.lines = lines
    finally:
        if was_enabled:
            gc.enable()
    if evaluation.lines == 0:
        raise EvalError(1, "empty-log", "the log is empty: it holds no line")
    return evaluation


def report(evaluation, path, resamples, seed):
    decisions = evaluation.decisions
    out = {
        "log": path,
        "decisions": decisions,
        "resolved": evaluation.resolved,
        "pending": len(evaluation.pending),
        "pending_share": len(evaluation.pending) / decisions if decisions else math.nan,
        "excluded": evaluation.excluded,
        "bootstrap": {"resamples": resamples, "seed": seed, "blocks": 0},
        "targets": [],
    }
    draws = {}
    for target in evaluation.targets:
        points, ess = point_estimates(target.terms)
        boot, blocks = bootstrap_intervals(target.terms, resamples, seed, draws)
        out["bootstrap"]["blocks"] = max(out["bootstrap"]["blocks"], blocks)
        estimators = {}
        for name in ESTIMATORS:
            estimate, error = points[name]
            estimators[name] = {"estimate": estimate, "stderr": error,
                                "ci_bootstrap": list(boot[name]), "ci_normal": list(normal_interval(estimate, error))}
        out["targets"].append({"name": target.name, "config": target.config(), "n": len(target.terms),
                               "ess": ess, "estimators": estimators})
    return out


def report_text(rep):
    head = (f"{rep['log']}: {rep['decisions']} decisions, {rep['resolved']} resolved, "
            f"{rep['pending_share']:.1%} pending")
    if rep["excluded"]:
        head += f", {rep['excluded']} left out (no usable propensity or reward)"
    boot = rep["bootstrap"]
    rows = []
    for target in rep["targets"]:
        for k, name in enumerate(ESTIMATORS):
            e = target["estimators"][name]
            rows.append([target["name"] if k == 0 else "", NAMES[name], number(e["estimate"]), number(e["stderr"]),
                         interval(e["ci_bootstrap"]), interval(e["ci_normal"]),
                         number(target["ess"], 1) if k == 0 else ""])
    body = table(rows, ["target", "estimator", "estimate", "std.err", "95% CI bootstrap", "95% CI normal", "ESS"])
    foot = (f"bootstrap: {boot['resamples']} resamples of {boot['blocks']} blocks, seed {boot['seed']}; "
            "ESS = effective sample size")
    return "\n".join([head, body, foot])


def plot(evaluation, path, points=400):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'sorvane[plot]'") from None
    fig, axes = plt.subplots(len(ESTIMATORS), 1, sharex=True, figsize=(8, 2.6 * len(ESTIMATORS)))
    for ax, name in zip(axes, ESTIMATORS):
        for target in evaluation.targets:
            series = running_estimates(target.terms, points)
            ax.plot([k for k, _ in series], [v[name] for _, v in series], label=target.name)
        ax.set_ylabel(NAMES[name])
        ax.grid(True, alpha=0.3)
    axes[0].legend(loc="best", fontsize="small")
    axes[-1].set_xlabel("resolved decisions")
    fig.suptitle("running estimates of each target's value")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def run_eval(args, config, progress, out=None):
    out = out if out is not None else sys.stdout
    try:
        evaluation = evaluate_log(args.log, config, args.target, progress)
    except EvalError as exc:
        sys.stderr.write(f"line {exc.lineno}: {KINDS[exc.kind]}: {exc}\n"
                         "the evaluation stopped there (`sorvane verify` lists every problem)\n")
        return 1
    rep = report(evaluation, args.log, args.bootstrap, args.seed)
    if args.plot:
        plot(evaluation, args.plot)
    out.write((to_json(rep) if args.json else report_text(rep)) + "\n")
    return 0
