"""`sorvane sweep`: a grid of target configurations evaluated on the log,
ranked best first.

Every point of the grid is a target of `sorvane eval`, evaluated by one of
its methods. By the long-run replay and by rejection sampling each target
runs on states of its own, and its estimate is the one eval gives it
whatever other targets are passed. Rejection sampling makes each target a
job; the long-run replay, for which reading the log is much of the work,
groups them into jobs as the weighted estimators do, and its reward model
is fitted once, here, and handed to every job. A winner is named only when
the log tells it apart from every other configuration
(longrun.recommendation); otherwise the sweep says which it cannot tell
apart and about how much more log would.

By the weighted estimators, targets that share a model (bits,
forgetfulness, default reward; see learners.py) are replayed together as
one job: one pass over the log, one `decide` and one `learn` per decision
for all of them. The logging configuration rides with the job whose model
it shares, or gets one of its own. The jobs are independent and run side
by side (executor.py); each reports its targets the way `eval` does, so the
merged report is the same whichever worker ran which job, and the same as
the serial run byte for byte.
"""
import argparse
import itertools
import math
import os
import struct
import sys

from .config import LogConfig, UsageError
from .estimators import ESTIMATORS, NAMES
from .evaluate import _build_targets, _problems_report, evaluate_log, parse_targets, report
from .executor import add_executor_flags, no_progress, placement, run_jobs
from .findings import Finding, Findings
from .output import findings_text
from .evaluate import default_replays, fit_reward_model
from .longrun import CAVEAT, DEFAULT_SCALE, MARGIN
from .longrun import recommendation as longrun_recommendation
from .logread import DecisionLine, read_log
from .logsource import LogError, LogSource
from .output import interval, number, table, to_json
from .status import Exit


def parse_grid(axes):
    """[(key, [values])] from --grid KEY=V1,V2,... arguments, each checked
    as --target checks it."""
    out = []
    seen = set()
    for axis in axes or []:
        key, sep, values = axis.partition("=")
        key = key.strip().replace("-", "_")
        if not sep or not values.strip():
            raise UsageError(f"--grid takes KEY=VALUE,VALUE,...; got {axis!r}")
        if key == "name":
            raise UsageError("--grid cannot vary the name: each configuration is named after its values")
        if key in seen:
            raise UsageError(f"--grid {key} is given twice: list all its values in one --grid")
        seen.add(key)
        parsed = []
        for value in values.split(","):
            # The same parsing and messages as --target.
            fields = parse_targets([f"{key}={value}"])[0]
            if fields[key] in parsed:
                raise UsageError(f"--grid {key} lists {value.strip()} twice")
            parsed.append(fields[key])
        out.append((key, parsed))
    if not out:
        raise UsageError("sweep needs at least one --grid KEY=VALUE,VALUE,...")
    return out


def grid_points(axes):
    """Every combination of the axes' values, the last axis varying fastest."""
    keys = [key for key, _ in axes]
    return [dict(zip(keys, values)) for values in itertools.product(*(values for _, values in axes))]


def _model_key(bits, forgetfulness, default_reward):
    # Bit for bit, as learners.group keys its states.
    return bits, struct.pack("<dd", forgetfulness, default_reward)


def _log_bits(path, max_line_bytes):
    """The bits of the log's first decision line, or None."""
    events = read_log(path, max_line_bytes=max_line_bytes)
    try:
        for ev in events:
            if type(ev) is DecisionLine:
                return ev.bits
    finally:
        events.close()
    return None


def plan_jobs(points, config, log_bits, method="weighted"):
    """[(the point indices of one model, whether the logging configuration
    rides along)], in the grid's order. A log that continues from a saved
    state has decisions pending from before it began, which only the
    logging configuration's own state can resolve, so there it rides with
    every job. Rejection sampling runs each target on its own state (each
    keeps its own events), so there each target is a job of its own. The
    long-run replay runs each target on its own states too, but reading the
    log is much of its work, so its jobs are grouped as the weighted ones
    are."""
    if method not in ("weighted", "both", "longrun"):
        planned = [([k], config.state_text is not None) for k in range(len(points))]
        return planned if config.state_text is not None else [([], True)] + planned
    jobs = {}
    for k, point in enumerate(points):
        bits = point.get("bits", log_bits)
        key = _model_key(bits, point.get("forgetfulness", config.forgetfulness),
                         point.get("default_reward", config.default_reward))
        jobs.setdefault(key, []).append(k)
    if config.state_text is not None:
        return [(members, True) for members in jobs.values()]
    baseline = _model_key(log_bits, config.forgetfulness, config.default_reward)
    planned = [(members, key == baseline and log_bits is not None) for key, members in jobs.items()]
    if not any(with_baseline for _, with_baseline in planned):
        planned.insert(0, ([], True))
    return planned


def balanced(planned, workers, baseline_everywhere=False):
    """The long-run replay's jobs cut so that every worker has about as
    much to do: into pieces of at most the targets' share of two jobs per
    worker (each piece reads the log once more). The logging configuration
    stays with the first piece of its job, or, continuing a saved state,
    rides with every piece (see plan_jobs)."""
    if workers <= 1:
        return planned
    if baseline_everywhere:
        most = max(1, -(-sum(len(m) for m, _ in planned) // (2 * workers)))
        return [(members[k:k + most], True) for members, _ in planned for k in range(0, len(members), most)]
    total = sum(len(members) + with_baseline for members, with_baseline in planned)
    most = max(1, -(-total // (2 * max(workers, 1))))
    out = []
    for members, with_baseline in planned:
        first = most - with_baseline
        if first <= 0 and members:
            out.append(([], True))
            with_baseline, first = False, most
        out.append((members[:first], with_baseline))
        out += [(members[k:k + most], False) for k in range(first, len(members), most)]
    return [(members, with_baseline) for members, with_baseline in out if members or with_baseline]


def _setting(point):
    """A grid point as the --target argument that names it by its values."""
    return ",".join(f"{key}={value!r}" for key, value in point.items())


def sweep_job(job):
    """One pass over the log for the targets of one model (run by a worker):
    their part of the `eval` report, or what stopped it."""
    if job["state"] is not None:
        try:
            with open(job["state"], encoding="ascii", errors="replace") as f:
                config = LogConfig(state_text=f.read().strip())
        except OSError as exc:
            return {"usage": f"cannot read {job['state']}: {exc.strerror or exc}"}
    else:
        config = LogConfig(*job["config"], sources=job["sources"])
    try:
        source = LogSource(job["log"], job["max_line_bytes"])
        evaluation = evaluate_log(source, config, job["targets"], no_progress, method=job["method"],
                                  seed=job["seed"], keep=job["keep"], replays=job["replays"],
                                  with_baseline=job["baseline"], reward_model=job.get("reward_model"),
                                  scale=job.get("scale") or DEFAULT_SCALE)
    except (UsageError, LogError) as exc:
        return {"usage": str(exc)}
    if evaluation.findings.counts:
        problems = _problems_report(evaluation, job["name"])
        problems["lines"] = evaluation.lines
        return {"problems": problems}
    out = {"report": report(evaluation, job["name"], job["bootstrap"], job["seed"])}
    if getattr(evaluation, "long_runs", None):
        # Every term, for the paired comparisons of the recommendation.
        out["terms"] = {target.name: [runs[k].terms for runs in evaluation.long_runs]
                        for k, target in enumerate(evaluation.targets)}
    return out


def _placement(args):
    try:
        return placement(args)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _describe(job):
    names = job["targets"] + (["logging"] if job["baseline"] else [])
    return f"the job of {'; '.join(names)}"


def _interval(target, estimator):
    """The long-run replay's and rejection's own intervals; the weighted
    estimator's bootstrap interval, or its normal one when there is no
    bootstrap."""
    if estimator in ("longrun", "rejection"):
        return target[estimator]["ci"]
    e = target["estimators"][estimator]
    boot = e["ci_bootstrap"]
    return boot if boot is not None and all(math.isfinite(x) for x in boot) else e["ci_normal"]


def _estimate(target, estimator):
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
    order = {_setting(point): k for k, point in enumerate(points)}
    ranked = sorted(targets.values(), key=lambda t: _rank_key(t, estimator, order))
    rows = []
    for target in ranked:
        rows.append(dict(target))
    if baseline is not None:
        value = _estimate(baseline, estimator)
        at = sum(1 for t in ranked if _better(_estimate(t, estimator), value))
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
    return out


def _same_counts(a, b):
    # pending_share is NaN for a log without decisions: NaN != NaN.
    return all(a[k] == b[k] or (a[k] != a[k] and b[k] != b[k]) for k in a)


def _better(x, y):
    """Whether estimate x ranks above y (NaN ranks last)."""
    return math.isfinite(x) and (not math.isfinite(y) or x > y)


def _rank_key(target, estimator, order):
    value = _estimate(target, estimator)
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
    best = ranked[0] if ranked and math.isfinite(_estimate(ranked[0], estimator)) else None
    if best is None:
        return None
    out = {"name": best["name"], "config": best["config"], "estimate": _estimate(best, estimator),
           "ci": _interval(best, estimator)}
    runner_up = ranked[1] if len(ranked) > 1 else None
    out["runner_up"] = None if runner_up is None else runner_up["name"]
    out["apart_from_next"] = None if runner_up is None else _apart(best, runner_up, estimator)
    if estimator == "longrun" and terms:
        names = [t["name"] for t in ranked]
        rec = longrun_recommendation(names, {name: terms[name] for name in names})
        out["tied"] = rec["tied"]
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
    out["above_logging"] = None if baseline is None else _better(_estimate(best, estimator),
                                                               _estimate(baseline, estimator))
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
    return "\n".join([head, body] + foot)


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
        more = rec["more_data"]
        if more is not None and math.isfinite(more):
            text += f"; telling them apart would take a log about {max(more, 1.0):.3g} times as long"
        elif more is not None:
            text += (f"; they are within {MARGIN:.0%} of each other, closer than the long-run replay tells "
                     "configurations apart, and no longer log changes that")
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


def run_sweep(args, config, progress, out=None, path=None, head=None):
    """`path` is where the log can be read again (standard input is spooled
    to a file first)."""
    out = out if out is not None else sys.stdout
    where = _placement(args)
    if args.log == "-" and args.cluster is not None:
        raise UsageError("--cluster needs the log in a file its workers can open, not standard input")
    axes = parse_grid(args.grid)
    points = grid_points(axes)
    path = os.path.abspath(path if path is not None else args.log)
    estimator = args.method if args.method in ("longrun", "rejection") else args.rank_by
    replays = default_replays(args)
    log_bits = _log_bits(path, args.max_line_bytes)
    # Each target made once here, so a value `create` refuses is a usage
    # error before any job starts.
    _build_targets(config, [_setting(point) for point in points], with_baseline=False)
    state = os.path.abspath(args.from_state) if config.state_text is not None else None
    model = fit_reward_model(LogSource(path, args.max_line_bytes), progress) if args.method == "longrun" else None
    jobs = []
    planned = plan_jobs(points, config, log_bits, args.method)
    if args.method == "longrun":
        planned = balanced(planned, where[0] if where[1] is None else 2 * len(planned),
                           config.state_text is not None)
    for members, with_baseline in planned:
        jobs.append({"log": path, "name": args.log, "state": state, "max_line_bytes": args.max_line_bytes,
                     "config": (config.horizon, config.default_reward, config.epsilon, config.forgetfulness),
                     "sources": dict(config.sources),
                     "targets": [_setting(points[k]) for k in members], "baseline": with_baseline,
                     "bootstrap": args.bootstrap, "seed": args.seed, "method": args.method,
                     "replays": replays, "reward_model": model, "scale": args.accept_scale, "keep": 10})
    with progress(f"sweeping ({len(jobs)} jobs)") as bar:
        total = max(len(jobs), 1)
        results = run_jobs(sweep_job, jobs, *where, _describe,
                           lambda done: bar.update(done * bar.total // total))
    for result in results:
        if "usage" in result:
            raise UsageError(result["usage"])
    for result in results:
        if "problems" in result:
            # Every job read the same lines: the first job's problems are the log's.
            problems = result["problems"]
            if args.json:
                del problems["lines"]
                out.write(to_json(problems) + "\n")
            else:
                findings = Findings(10)
                findings.counts = dict(problems["mismatches"])
                findings.first = [Finding(f["line"], f["kind"], f["message"],
                                          [(x["field"], x["logged"], x["replayed"]) for x in f["fields"]],
                                          f.get("follow_on")) for f in problems["first"]]
                lines = [f"{args.log}: {problems['lines']} lines, {problems['decisions']} decisions"]
                lines += findings_text(findings)
                lines.append("NOT EVALUATED: the log has problems (`sorvane verify` proves what it can of it)")
                out.write("\n".join(lines) + "\n")
            return Exit.PROBLEMS
    terms = {}
    for result in results:
        terms.update(result.get("terms", {}))
    rep = merge([r["report"] for r in results], points, args.log, estimator, terms, config.epsilon)
    out.write((to_json(rep) if args.json else report_text(rep)) + "\n")
    return Exit.OK



def _positive_float(text):
    value = float(text)
    if not (0.0 < value < float("inf")):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _at_least_two(text):
    value = int(text)
    if value < 2:
        raise argparse.ArgumentTypeError(f"must be 2 or more, not {value}")
    return value


def add_parser(sub, config_flags, epilog):
    s = sub.add_parser("sweep", help="evaluate a grid of target configurations, best first",
                       description="Evaluate every combination of the --grid values as an `eval` target and rank\n"
                                   "them best first, with intervals, beside the logging configuration. Targets\n"
                                   "that share a model (bits, forgetfulness, default reward) are replayed together\n"
                                   "as one job; the jobs run on --workers local processes or on a Dask cluster\n"
                                   "(--cluster), where every worker opens the log (and --from-state) itself, at\n"
                                   "the same absolute path: a file system they all see.",
                       epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    config_flags(s, "the state's horizon (not needed to evaluate)")
    s.add_argument("--grid", action="append", metavar="KEY=V1,V2,...",
                   help="one axis of the grid: epsilon, bits, forgetfulness or default_reward and its values; "
                        "repeat for more axes (the rest as logged)")
    s.add_argument("--method", choices=("longrun", "rejection", "weighted"), default="longrun",
                   help="how configurations are evaluated, as for eval (longrun and rejection: each target's "
                        "own run, one job per target; weighted: targets that share a model are one job)")
    s.add_argument("--rank-by", choices=ESTIMATORS, default="dr",
                   help="the weighted estimator that ranks (dr)")
    s.add_argument("--replays", type=_at_least_two, default=None, metavar="R",
                   help="replays of the long-run replay (3) and of rejection sampling (5)")
    s.add_argument("--accept-scale", type=_positive_float, default=None, metavar="C",
                   help="longrun's acceptance scale, as for eval (0.3)")
    s.add_argument("--json", action="store_true", help="the ranking as JSON")
    s.add_argument("--bootstrap", type=int, default=1000, metavar="B", help="bootstrap resamples (1000)")
    s.add_argument("--seed", type=int, default=0, help="bootstrap seed (0)")
    add_executor_flags(s)
    return s

