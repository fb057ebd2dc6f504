"""The report of `sorvane sweep`: the jobs' reports merged into one
ranking, best first, the recommendation and when it is withheld, and the
ranking as text."""
import math

from sorvane_cli.evaluation.estimators import NAMES
from sorvane_cli.evaluation.longrun import CAVEAT, MARGIN
from sorvane_cli.evaluation.longrun import recommendation as longrun_recommendation
from sorvane_cli.report.text import interval, left_out_note, number, table
from sorvane_cli.status import UsageError


def setting(point):
    """A grid point as the --target argument that names it by its values."""
    return ",".join(f"{key}={value if type(value) is str else repr(value)}" for key, value in point.items())


def _interval(target, estimator):
    """The long-run replay's and rejection's own intervals; the weighted
    estimator's bootstrap interval, or its normal one when there is no
    bootstrap."""
    if estimator in ("longrun", "rejection"):
        return target[estimator]["ci"]
    e = target["estimators"][estimator]
    boot = e["ci_bootstrap"]
    return boot if boot is not None and all(math.isfinite(x) for x in boot) else e["ci_normal"]


def estimate_of(target, estimator):
    if estimator in ("longrun", "rejection"):
        return target[estimator]["estimate"]
    return target["estimators"][estimator]["estimate"]


def merge(results, points, path, estimator, terms=None, log_epsilon=None):
    """The sweep's report from the jobs' reports: the log's counts (which
    every job must agree on), then every target best first. `terms` (the
    long-run replay's, by target name) decide its recommendation."""
    head = None
    targets = {}
    baseline = None
    for rep in results:
        counts = {k: rep[k] for k in ("decisions", "resolved", "pending", "pending_share", "excluded")}
        if head is None:
            head = counts
            bootstrap = dict(rep["bootstrap"])
        elif counts != head and not _same_counts(counts, head):
            raise UsageError(f"the workers read different logs at {path} (is it still being written?): "
                             f"{head['decisions']} decisions against {counts['decisions']}")
        bootstrap["blocks"] = max(bootstrap["blocks"], rep["bootstrap"]["blocks"])
        for target in rep["targets"]:
            if target["name"] == "logging" and baseline is None:
                baseline = target
            elif target["name"] != "logging":
                targets[target["name"]] = target
    # eval names a target after its settings: the text _setting makes.
    order = {setting(point): k for k, point in enumerate(points)}
    ranked = sorted(targets.values(), key=lambda t: _rank_key(t, estimator, order))
    rows = []
    for target in ranked:
        rows.append(dict(target))
    if baseline is not None:
        value = estimate_of(baseline, estimator)
        at = sum(1 for t in ranked if _better(estimate_of(t, estimator), value))
        rows.insert(at, dict(baseline))
    for k, row in enumerate(rows):
        row["rank"] = k + 1
    out = {"log": path}
    out.update(head)
    out["logged_mean"] = results[0]["logged_mean"]
    for method in ("longrun", "rejection"):
        if method in results[0]:
            out[method] = results[0][method]
    out["reward_range"] = results[0].get("reward_range")
    out["bootstrap"] = bootstrap
    out["ranked_by"] = estimator
    out["configurations"] = len(points)
    out["targets"] = rows
    out["recommended"] = _recommendation(ranked, baseline, estimator, terms, log_epsilon)
    if "left_out" in results[0]:
        out["left_out"] = results[0]["left_out"]
    return out


def _same_counts(a, b):
    # pending_share is NaN for a log without decisions: NaN != NaN.
    return all(a[k] == b[k] or (a[k] != a[k] and b[k] != b[k]) for k in a)


def _better(x, y):
    """Whether estimate x ranks above y (NaN ranks last)."""
    return math.isfinite(x) and (not math.isfinite(y) or x > y)


def _rank_key(target, estimator, order):
    value = estimate_of(target, estimator)
    return (0, -value, order.get(target["name"], 0)) if math.isfinite(value) else (1, 0.0, order.get(target["name"], 0))


def _apart(a, b, estimator):
    """Whether the 95% intervals of two targets do not overlap."""
    lo_a, hi_a = _interval(a, estimator)
    lo_b, hi_b = _interval(b, estimator)
    return hi_b < lo_a or hi_a < lo_b


def _recommendation(ranked, baseline, estimator, terms=None, log_epsilon=None):
    """The best configuration, and whether it is a recommendation: the
    long-run replay names it only when its paired interval against every
    other configuration is clear of 0; the other methods only when its
    interval is clear of the runner-up's."""
    best = ranked[0] if ranked and math.isfinite(estimate_of(ranked[0], estimator)) else None
    if best is None:
        return None
    out = {"name": best["name"], "config": best["config"], "estimate": estimate_of(best, estimator),
           "ci": _interval(best, estimator)}
    runner_up = ranked[1] if len(ranked) > 1 else None
    out["runner_up"] = None if runner_up is None else runner_up["name"]
    out["apart_from_next"] = None if runner_up is None else _apart(best, runner_up, estimator)
    if estimator == "longrun" and terms:
        names = [t["name"] for t in ranked]
        rec = longrun_recommendation(names, {name: terms[name] for name in names})
        out["tied"] = rec["tied"]
        out["close"] = rec["close"]
        out["more_data"] = rec["more_data"]
        out["recommended"] = rec["winner"] is not None
        out["run_length"] = best["longrun"]["run_length"]
    else:
        out["tied"] = [] if out["apart_from_next"] is not False else [runner_up["name"]]
        out["more_data"] = None
        out["recommended"] = out["apart_from_next"] is not False
    # The weighted estimators let every target learn from the logging
    # state's choices, so one that explores less never shows what its own
    # choices would have cost it.
    epsilon = best["config"]["epsilon"]
    out["explores_less_than_log"] = (estimator not in ("longrun", "rejection") and log_epsilon is not None
                                     and epsilon < log_epsilon)
    out["apart_from_logging"] = None if baseline is None else _apart(best, baseline, estimator)
    out["above_logging"] = None if baseline is None else _better(estimate_of(best, estimator),
                                                               estimate_of(baseline, estimator))
    return out


def report_text(rep):
    name = NAMES.get(rep["ranked_by"], rep["ranked_by"])
    head = (f"{rep['log']}: {rep['decisions']} decisions, {rep['resolved']} resolved, "
            f"{rep['pending_share']:.1%} pending; {rep['configurations']} configurations, ranked by {name}")
    if rep["excluded"]:
        head += f"; {rep['excluded']} decisions left out (no usable propensity or reward)"
    rows = []
    for target in rep["targets"]:
        label = "logging (as logged)" if target["name"] == "logging" else target["name"]
        if rep["ranked_by"] == "longrun":
            e = target["longrun"]
            rows.append([str(target["rank"]), label, *_estimate_cells(e, e["terms"]), str(e["run_length"])])
        elif rep["ranked_by"] == "rejection":
            e = target["rejection"]
            rows.append([str(target["rank"]), label, *_estimate_cells(e, e["kept"]), f"{e['kept_share']:.2%}"])
        else:
            e = target["estimators"][rep["ranked_by"]]
            rows.append([str(target["rank"]), label, number(e["estimate"]), number(e["stderr"]),
                         "-" if e["ci_bootstrap"] is None else interval(e["ci_bootstrap"]), interval(e["ci_normal"]),
                         number(target["ess"], 1)])
    if rep["ranked_by"] == "longrun":
        r = rep["longrun"]
        body = table(rows, ["rank", "configuration", "estimate", "std.err", "95% CI", "run length"])
        foot = [f"long-run replay: each configuration's mean reward per decision over a run as long as its run "
                f"length, {r['replays']} replays (scale {r['scale']:g}, seed {r['seed']}); {CAVEAT}"]
    elif rep["ranked_by"] == "rejection":
        r = rep["rejection"]
        body = table(rows, ["rank", "configuration", "estimate", "std.err", "95% CI (t, replays)", "kept share"])
        foot = [f"rejection sampling: each configuration's own online run over the events kept, {r['replays']} "
                f"replays (each its own bound M, seed {r['seed']})"]
        empty = [t["name"] for t in rep["targets"] if t["rejection"]["kept"] == 0]
        if empty:
            foot.append(f"no estimate for {', '.join(empty)}: nothing was kept (each keeps about 1 in M decisions); "
                        "--method longrun evaluates on most of the log")
    else:
        body = table(rows, ["rank", "configuration", name, "std.err", "95% CI bootstrap", "95% CI normal", "ESS"])
        boot = rep["bootstrap"]
        foot = [f"weighted: bootstrap {boot['resamples']} resamples of {boot['blocks']} blocks, seed {boot['seed']}; "
                "ESS = effective sample size"]
    foot.append(_recommendation_text(rep["recommended"], name))
    outside = [t["name"] for t in rep["targets"] if _outside_rewards(t, rep["ranked_by"])]
    if outside and rep.get("reward_range") is not None:
        low, high = rep["reward_range"]
        foot.append(f"warning: estimates outside the logged rewards [{number(low)}, {number(high)}] for "
                    f"{', '.join(outside)}: no policy earns that; the estimate is too noisy to use")
    return "\n".join([head, body] + foot + left_out_note(rep.get("left_out")))


def _estimate_cells(entry, count):
    """Estimate, standard error and interval, or dashes when nothing was evaluated."""
    if not count:
        return ["-", "-", "-"]
    return [number(entry["estimate"]), number(entry["stderr"]), interval(entry["ci"])]


def _outside_rewards(target, estimator):
    entry = target[estimator] if estimator in ("longrun", "rejection") else target["estimators"][estimator]
    return entry.get("outside_rewards", False)


def _recommendation_text(rec, name):
    if rec is None:
        return "no recommendation: no configuration has an estimate (no usable resolved decision)"
    lo, hi = rec["ci"]
    estimate = f"{name} {number(rec['estimate'])}, 95% CI [{number(lo)}, {number(hi)}]"
    if not rec["recommended"]:
        length = f" for a run of {rec['run_length']} decisions" if "run_length" in rec else ""
        text = (f"no recommendation: the log cannot tell {rec['name']} ({estimate}) apart from "
                f"{', '.join(rec['tied'])}{length}")
        close = rec.get("close", [])
        if close:
            text += (f"; {', '.join(close)} {'is' if len(close) == 1 else 'are'} within {MARGIN:.0%} of it, closer "
                     "than the long-run replay tells configurations apart, which no longer log changes")
        more = rec["more_data"]
        if more is not None:
            others = "the others" if close else "them"
            text += f"; telling it from {others} would take a log about {max(more, 1.0):.3g} times as long"
        if rec["explores_less_than_log"]:
            text += (f"; and {rec['name']} explores less (epsilon {rec['config']['epsilon']!r}) than the logging "
                     "state, which the weighted estimators cannot judge: check it with --method longrun")
        return text
    text = f"recommended: {rec['name']} ({estimate})"
    if "run_length" in rec:
        text += f", for a run of {rec['run_length']} decisions"
    notes = []
    if rec["explores_less_than_log"]:
        notes.append(f"it explores less (epsilon {rec['config']['epsilon']!r}) than the logging state, and the "
                     "weighted estimators do not show what learning from its own choices costs it: check it "
                     "with --method longrun")
    if "run_length" in rec:
        notes.append("paired decision by decision, the log tells it apart from every other configuration")
    elif rec["apart_from_next"] is False:
        notes.append(f"its interval overlaps that of the runner-up, {rec['runner_up']}, so the log does not "
                     "tell them apart")
    elif rec["apart_from_next"]:
        notes.append(f"its interval lies clear of the runner-up's, {rec['runner_up']}")
    if rec["above_logging"] is False:
        notes.append("no better than the logging configuration")
    elif rec["above_logging"]:
        notes.append("clearly above the logging configuration" if rec["apart_from_logging"] else
                     "above the logging configuration, but within its interval")
    return text + ("; " if notes else "") + "; ".join(notes)
