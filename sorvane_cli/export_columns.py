"""An experience log as columns: one row per decision, or one per
(decision, candidate), each decision joined with the resolution the log
gives it.

Columns, in order: decision_id, salt, t, chosen, chosen_id, propensity,
candidates (how many were offered), model_version, kind and reward (of the
resolution; empty while the decision is pending), then one column per
context feature, named "context." + its name. With candidates: position,
candidate_id, is_chosen and one column per candidate feature, named
"candidate." + its name, after the decision's columns.

A feature column holds the values as logged when they are all of one kind
(booleans, integers, numbers, texts); a column that mixes kinds holds texts,
the JSON text of each value that is not one.
"""
import itertools
import json

from .findings import Finding, Findings
from .logread import BadLine, DecisionLine, ResolutionLine, read_log

DECISION_COLUMNS = ("decision_id", "salt", "t", "chosen", "chosen_id", "propensity", "candidates", "model_version",
                    "kind", "reward")
CANDIDATE_COLUMNS = ("position", "candidate_id", "is_chosen")
# The kind of each column above; the feature columns' kinds follow their values.
FIXED_KINDS = {"decision_id": "str", "salt": "str", "t": "float", "chosen": "int", "chosen_id": "str",
               "propensity": "float", "candidates": "int", "model_version": "int", "kind": "str", "reward": "float",
               "position": "int", "candidate_id": "str", "is_chosen": "bool"}
CONTEXT_PREFIX = "context."
CANDIDATE_PREFIX = "candidate."


class LogColumns:
    """The columns of one log, by name in order; `kinds[name]` is "bool",
    "int", "float" or "str", the kind of every value but the empty ones.
    `findings` holds the lines that could not be exported; `unmatched`
    counts resolutions of decisions before the log (a log that continues
    from a saved state has them)."""

    def __init__(self, keep=10):
        self.columns = {}
        self.kinds = {}
        self.findings = Findings(keep)
        self.decisions = 0
        self.resolved = 0
        self.unmatched = 0

    @property
    def rows(self):
        first = next(iter(self.columns.values()), None)
        return 0 if first is None else len(first)


def read_columns(source, with_candidates=False, progress=None, keep=10):
    """The LogColumns of a log (a path or a LogSource)."""
    out = LogColumns(keep)
    ids, salts, times, chosen, chosen_ids, propensities, counts, versions = [], [], [], [], [], [], [], []
    kinds, rewards, contexts, candidate_lists = [], [], [], []
    pending = {}
    resolved_ids = set()
    for event in read_log(source, progress):
        kind = type(event)
        if kind is DecisionLine:
            record = event.record
            candidates = event.candidates
            position = record["chosen"]
            pending[record["decision_id"]] = len(ids)
            ids.append(record["decision_id"])
            salts.append(record["salt"])
            times.append(record["t"])
            chosen.append(position)
            chosen_ids.append(_candidate_id(candidates, position))
            propensities.append(record["propensity"])
            counts.append(len(candidates))
            versions.append(record["model_version"])
            kinds.append(None)
            rewards.append(None)
            contexts.append(event.context)
            if with_candidates:
                candidate_lists.append(candidates)
        elif kind is ResolutionLine:
            row = pending.pop(event.decision_id, None)
            if row is None:
                if event.decision_id in resolved_ids:
                    out.findings.add(Finding(event.lineno, "unknown-id",
                                             f"decision {event.decision_id} is resolved a second time"))
                else:
                    out.unmatched += 1
                continue
            resolved_ids.add(event.decision_id)
            kinds[row] = event.kind
            rewards[row] = event.reward
        elif kind is BadLine:
            out.findings.add(Finding(event.lineno, event.kind, event.message))
    out.decisions = len(ids)
    out.resolved = len(ids) - len(pending)
    decision = dict(zip(DECISION_COLUMNS, (ids, salts, times, chosen, chosen_ids, propensities, counts, versions,
                                           kinds, rewards)))
    decision.update(_feature_columns(CONTEXT_PREFIX, contexts))
    if not with_candidates:
        out.columns = decision
    else:
        out.columns = _per_candidate(decision, chosen, candidate_lists)
    for name, values in out.columns.items():
        if name in FIXED_KINDS:
            out.kinds[name] = FIXED_KINDS[name]
        else:
            out.kinds[name], out.columns[name] = _one_kind(values)
    return out


def _candidate_id(candidates, position):
    try:
        candidate = candidates[position]
        return candidate[0] if type(candidate[0]) is str else None
    except (IndexError, KeyError, TypeError):
        return None


def _feature_columns(prefix, dicts):
    """One column per feature name over a list of feature dicts (None for
    a row without the feature), names in the order they first appear."""
    names = {}
    for features in dicts:
        if type(features) is dict:
            for name in features:
                names.setdefault(name, None)
    return {prefix + str(name): [f.get(name) if type(f) is dict else None for f in dicts] for name in names}


def _per_candidate(decision, chosen, candidate_lists):
    """The decision columns repeated once per candidate, beside the
    candidates' own columns."""
    counts = [len(candidates) for candidates in candidate_lists]
    columns = {name: list(itertools.chain.from_iterable(map(itertools.repeat, values, counts)))
               for name, values in decision.items()}
    positions, candidate_ids, is_chosen, features = [], [], [], []
    for choice, candidates in zip(chosen, candidate_lists):
        for k, candidate in enumerate(candidates):
            positions.append(k)
            pair = isinstance(candidate, (list, tuple)) and len(candidate) == 2
            candidate_ids.append(candidate[0] if pair and type(candidate[0]) is str else None)
            is_chosen.append(k == choice)
            features.append(candidate[1] if pair else None)
    columns.update(zip(CANDIDATE_COLUMNS, (positions, candidate_ids, is_chosen)))
    columns.update(_feature_columns(CANDIDATE_PREFIX, features))
    return columns


def _one_kind(values):
    """(kind, values) with every value of one kind: integers mixed with
    numbers become numbers; any other mix becomes texts."""
    present = {type(v) for v in values if v is not None}
    if not present:
        return "str", values
    if present == {bool}:
        return "bool", values
    if present == {int}:
        return "int", values
    if present <= {int, float}:
        if float in present and int not in present:
            return "float", values
        try:
            return "float", [None if v is None else float(v) for v in values]
        except OverflowError:  # an integer past the float range: kept exact, as text
            pass
    if present == {str}:
        return "str", values
    return "str", [v if v is None or type(v) is str else json.dumps(v) for v in values]
