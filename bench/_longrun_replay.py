"""The long-run replay driven straight from a click-world log, for the bench
(the toolkit reads logs its own way; this keeps the bench's loops small).

`load(path)` reads a log written by _click_truth.write_log; `estimate` runs
every configuration's replays over it and returns their summaries and runs,
at a fixed acceptance scale or, with `adaptive`, at one each run sets from
its own past (_adaptive_scale.py); with `bag`, each replay learns from a
resample of the log of its own (_bagged_replay.py).
"""

from __future__ import annotations

import json
import math

import sorvane
from _adaptive_scale import AdaptiveLongRun
from _bagged_replay import BaggedLongRun, bag_uniform, multiplicity

from sorvane_cli.evaluation.longrun import LongRun, summary
from sorvane_cli.evaluation.rejection import acceptance_uniform
from sorvane_cli.evaluation.reward_model import RewardModel
from sorvane_cli.evaluation.targets import Target


def load(path):
    """(header, [(decision id, context, candidates, t, salt, chosen, propensity, kind, reward)])."""
    header, decisions, events = None, {}, []
    with open(path) as f:
        for line in f:
            ev = json.loads(line)
            kind = ev["event"]
            if kind == "header":
                header = ev
            elif kind == "decision":
                rec = ev["record"]
                decisions[rec["decision_id"]] = (rec["decision_id"], ev["context"],
                                                 [tuple(c) for c in ev["candidates"]], rec["t"], rec["salt"],
                                                 rec["chosen"], rec["propensity"])
            else:
                events.append((*decisions.pop(ev["decision_id"]), ev["kind"], ev["reward"]))
    return header, events


def reward_predictions(events):
    model = RewardModel()
    for decision_id, context, candidates, t, salt, chosen, p, kind, reward in events:
        model.observe(context, candidates[chosen][0], reward)
    model.fit()
    return [model.predict(ev[1], [c[0] for c in ev[2]]) for ev in events]


def estimate(header, events, configs, scale, replays=3, seed=0, rhat=None, repeat=False, adaptive=None, bag=None):
    """{config: summary} and {config: [runs]} for configs [(epsilon, forgetfulness)].

    `adaptive`, a dict of AdaptiveLongRun's share, cap, start and warmup,
    replaces the fixed `scale`; each summary then holds the mean "scale".
    `bag` ("poisson" or "half") learns each replay from a resample of its own;
    each summary then holds the share of accepted decisions not learned from."""
    if rhat is None:
        rhat = reward_predictions(events)
    runs = {}
    for replay in range(replays):
        us = [acceptance_uniform(seed, ev[0], replay) for ev in events]
        if bag is not None:
            ms = [multiplicity(bag, bag_uniform(seed, ev[0], replay)) for ev in events]
        for config in configs:
            epsilon, forgetfulness = config
            target = Target("t", header["bits"], epsilon, forgetfulness, 0.0, header["horizon"])
            state = sorvane.create(header["bits"], header["horizon"], 0.0, epsilon, forgetfulness)
            if bag is not None:
                run = BaggedLongRun(target, scale, state, bag)
                for ev, u, r, m in zip(events, us, rhat, ms):
                    decision_id, context, candidates, t, salt, chosen, p, kind, reward = ev
                    run.bagged_decision(m, decision_id, u, context, candidates, t, salt, chosen, p, r)
                    run.resolution(decision_id, kind, reward)
                runs.setdefault(config, []).append(run)
                continue
            if adaptive is None:
                run = LongRun(target, scale, state, repeat)
            else:
                run = AdaptiveLongRun(target, state, **adaptive)
            for ev, u, r in zip(events, us, rhat):
                decision_id, context, candidates, t, salt, chosen, p, kind, reward = ev
                run.decision(decision_id, u, context, candidates, t, salt, chosen, p, r)
                run.resolution(decision_id, kind, reward)
            if adaptive is not None:
                run.finish()
            runs.setdefault(config, []).append(run)
    summaries = {config: summary(rs) for config, rs in runs.items()}
    if adaptive is not None:
        for config, rs in runs.items():
            summaries[config]["scale"] = math.fsum(run.mean_scale() for run in rs) / len(rs)
    if bag is not None:
        for config, rs in runs.items():
            summaries[config]["dropped_share"] = math.fsum(run.dropped / run.offered for run in rs) / len(rs)
    return summaries, runs


def spearman(a, b):
    def ranks(v):
        order = sorted(range(len(v)), key=lambda k: v[k])
        out = [0.0] * len(v)
        k = 0
        while k < len(order):
            j = k
            while j + 1 < len(order) and v[order[j + 1]] == v[order[k]]:
                j += 1
            for m in range(k, j + 1):
                out[order[m]] = (k + j) / 2
            k = j + 1
        return out
    ra, rb = ranks(a), ranks(b)
    ma, mb = sum(ra) / len(ra), sum(rb) / len(rb)
    num = sum((x - ma) * (y - mb) for x, y in zip(ra, rb))
    den = math.sqrt(sum((x - ma) ** 2 for x in ra) * sum((y - mb) ** 2 for y in rb))
    return num / den if den else math.nan


def estimate_and_recommend(header, events, configs, scale, replays=3, seed=0, rhat=None, repeat=False, adaptive=None,
                           bag=None):
    """Summaries, the recommendation, and the paired (mean, error) of the
    best estimate less each configuration."""
    from sorvane_cli.evaluation.longrun import difference, recommendation
    summaries, runs = estimate(header, events, configs, scale, replays, seed, rhat, repeat, adaptive, bag)
    terms = {c: [run.terms for run in rs] for c, rs in runs.items()}
    rec = recommendation(list(configs), terms)
    differences = {c: difference(terms[rec["best"]], terms[c]) for c in configs if c != rec["best"]}
    return summaries, rec, differences
