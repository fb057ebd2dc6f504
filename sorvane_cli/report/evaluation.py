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
from sorvane_cli.evaluation.rejection import replay_summary
from sorvane_cli.report.text import interval, number, table
from sorvane_cli.status import OutputError, UsageError


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
                                    "ci_normal": list(normal_interval(estimate, error))}
            entry.update(n=len(target.terms), ess=ess, estimators=estimators)
        if evaluation.runs:
            entry["rejection"] = replay_summary([runs[k] for runs in evaluation.runs])
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
    if "rejection" in rep:
        rows = []
        for target in rep["targets"]:
            e = target["rejection"]
            rows.append([target["name"], number(e["estimate"]), number(e["stderr"]), _ci(e["ci"]),
                         str(e["kept"]), f"{e['kept_share']:.2%}"])
        rejection = rep["rejection"]
        parts.append(f"\nrejection sampling: each target's own online run over the events kept, "
                     f"{rejection['replays']} replays (bound M = {rejection['bound']:.4g}, seed {rejection['seed']})")
        parts.append(table(rows, ["target", "estimate", "std.err", "95% CI (t, replays)", "kept", "kept share"]))
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
    if boot["resamples"]:
        parts.append(f"bootstrap: {boot['resamples']} resamples of blocks of consecutive decisions, "
                     f"seed {boot['seed']}")
    else:
        parts.append("bootstrap: none (--bootstrap 0)")
    return "\n".join(parts)


def _series(evaluation):
    """(axis label, [(target name, [(k, value)])]) for every plotted estimate."""
    out = []
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
