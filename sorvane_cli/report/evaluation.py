"""The report of `sorvane eval`: the estimates as JSON, as text, and plotted."""
import math

from sorvane_cli.evaluation.estimators import (
    ESTIMATORS,
    NAMES,
    bootstrap_intervals,
    normal_interval,
    point_estimates,
    running_estimates,
)
from sorvane_cli.evaluation.longrun import CAVEAT
from sorvane_cli.evaluation.longrun import summary as longrun_summary
from sorvane_cli.evaluation.rejection import replay_summary
from sorvane_cli.report.text import interval, number, table
from sorvane_cli.status import OutputError, UsageError

_INF, _isfinite = math.inf, math.isfinite


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


def problems_report(evaluation, path):
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
