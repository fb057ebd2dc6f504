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

from sorvane_cli.log import lines
from sorvane_cli.log.lines import (
    _KINDS,
    _RESOLUTION_LINE,
    DECISION_PREFIX,
    RECORD_KEY,
    BadLine,
    DecisionLine,
    ResolutionLine,
    event_of,
)
from sorvane_cli.log.lines import _plain as plain_record
from sorvane_cli.log.native_columns import native_applies, native_columns
from sorvane_cli.log.source import TOO_LONG, LogSource
from sorvane_cli.report.findings import Finding, Findings

DECISION_COLUMNS = ("decision_id", "salt", "t", "chosen", "chosen_id", "propensity", "candidates", "model_version",
                    "kind", "reward")
CANDIDATE_COLUMNS = ("position", "candidate_id", "is_chosen")
# The kind of each column above; the feature columns' kinds follow their values.
FIXED_KINDS = {"decision_id": "str", "salt": "str", "t": "float", "chosen": "int", "chosen_id": "str",
               "propensity": "float", "candidates": "int", "model_version": "int", "kind": "str", "reward": "float",
               "position": "int", "candidate_id": "str", "is_chosen": "bool"}
CONTEXT_PREFIX = "context."
CANDIDATE_PREFIX = "candidate."


def _loads(data):
    """orjson where the log's reader uses it (it refuses NaN and the like,
    which the reader then reads its own way), else json."""
    fast = lines._fast_loads
    return fast(data) if fast is not None else json.loads(data)


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


def read_columns(source, with_candidates=False, progress=None, keep=10, max_line_bytes=None):
    """The LogColumns of a log (a path, '-' or a LogSource).

    The extension reads the decision columns where it can (native_columns).
    Otherwise lines are read as `lines` reads them, but for the two kinds
    log_line writes, taken on fast paths written out in the loop below (it
    runs once per line): a resolution line matched whole, and a decision
    line whose record is parsed alone. Either way a decision's inputs (the
    text before its record) are parsed once per distinct text: logs repeat
    their inputs (a shop shows the same catalogue to the same few kinds of
    visitor), so most decision lines cost a parse of their record only."""
    out = LogColumns(keep)
    if not with_candidates and native_applies(source):
        log = source if isinstance(source, LogSource) else LogSource(source, max_line_bytes)
        read = native_columns(log, progress)
        if read is not None and _from_native(out, read):
            return out
        # Declined: the Python way reads the log again, from its start.
        source = LogSource(log.path, log.max_line_bytes)
    if not isinstance(source, LogSource):
        source = LogSource(source, max_line_bytes)
    # Per decision: (decision_id, salt, t, chosen, chosen_id, propensity, candidates, model_version).
    rows, contexts, candidate_lists = [], [], []
    pending, outcomes, resolved_ids = {}, {}, set()

    def decided(record, context, candidates, candidate_id):
        pending[record["decision_id"]] = len(rows)
        rows.append((record["decision_id"], record["salt"], record["t"], record["chosen"], candidate_id,
                     record["propensity"], len(candidates), record["model_version"]))
        contexts.append(context)
        candidate_lists.append(candidates)

    def resolved(lineno, decision_id, kind, reward):
        row = pending.pop(decision_id, None)
        if row is not None:
            resolved_ids.add(decision_id)
            outcomes[row] = (kind, reward)
        elif decision_id in resolved_ids:
            out.findings.add(Finding(lineno, "unknown-id", f"decision {decision_id} is resolved a second time"))
        else:
            out.unmatched += 1

    inputs_of = {}
    limit = source.max_line_bytes
    decision_prefix, record_key, resolution_line, kinds = DECISION_PREFIX, RECORD_KEY, _RESOLUTION_LINE, _KINDS
    with source:
        position = source.position
        for lineno, line in source.lines():
            if progress is not None and not lineno & 1023:
                progress(position())
            if line is TOO_LONG:
                pass
            elif line.startswith(decision_prefix):
                cut = line.rfind(record_key)
                if cut > 0:
                    key = line[:cut]
                    inputs = inputs_of.get(key)
                    if inputs is None:
                        inputs = _inputs(key)
                        if len(inputs_of) >= _INPUTS_KEPT:
                            inputs_of.clear()
                        inputs_of[key] = inputs
                    record = _record(line, cut) if inputs is not None else None
                    if record is not None:
                        context, candidates, ids = inputs
                        chosen = record["chosen"]
                        if 0 <= chosen < len(ids):
                            decision_id = record["decision_id"]
                            pending[decision_id] = len(rows)
                            rows.append((decision_id, record["salt"], record["t"], chosen, ids[chosen],
                                         record["propensity"], len(ids), record["model_version"]))
                            contexts.append(context)
                            candidate_lists.append(candidates)
                            continue
            else:
                match = resolution_line(line)
                if match is not None:
                    decision_id, kind, reward = match.groups()
                    resolved(lineno, decision_id.decode("ascii"), kinds[kind], float(reward))
                    continue
            event = event_of(lineno, line, limit)
            if type(event) is DecisionLine:
                decided(event.record, event.context, event.candidates,
                        _candidate_id(event.candidates, event.record["chosen"]))
            elif type(event) is ResolutionLine:
                resolved(lineno, event.decision_id, event.kind, event.reward)
            elif type(event) is BadLine:
                out.findings.add(Finding(lineno, event.kind, event.message))
        if progress is not None:
            progress(position())
    out.decisions = len(rows)
    out.resolved = len(outcomes)
    decision = dict(zip(DECISION_COLUMNS[:8], map(list, zip(*rows)))) if rows else \
        {name: [] for name in DECISION_COLUMNS[:8]}
    outcome = [outcomes.get(row, (None, None)) for row in range(len(rows))]
    decision["kind"] = [kind for kind, _ in outcome]
    decision["reward"] = [reward for _, reward in outcome]
    decision.update(_feature_columns(CONTEXT_PREFIX, contexts))
    out.columns = _per_candidate(decision, decision["chosen"], candidate_lists) if with_candidates else decision
    _settle_kinds(out)
    return out


def _from_native(out, read):
    """Fills `out` with what the extension read; False when an input text
    is not in log_line's layout (the Python way then reads the log)."""
    parsed = [_inputs(text) for text in read.distinct_inputs]
    if any(inputs is None for inputs in parsed):
        return False
    out.decisions = len(read.inputs)
    out.resolved = read.resolved
    out.unmatched = read.unmatched
    contexts = [inputs[0] for inputs in parsed]
    out.columns = read.columns
    out.columns.update(_feature_columns(CONTEXT_PREFIX, [contexts[k] for k in read.inputs]))
    _settle_kinds(out)
    return True


def _settle_kinds(out):
    for name, values in out.columns.items():
        if name in FIXED_KINDS:
            out.kinds[name] = FIXED_KINDS[name]
        else:
            out.kinds[name], out.columns[name] = _one_kind(values)


# Distinct inputs (context and candidates) kept parsed; past this many the
# keeping starts afresh, so a log of ever new inputs does not fill memory.
_INPUTS_KEPT = 4096


def _inputs(text):
    """(context, candidates, their ids) of a decision line's text
    before its record, when it has exactly the keys and types log_line
    writes; else None."""
    try:
        obj = _loads(text + b"}")
    except ValueError:
        return None
    if type(obj) is not dict or len(obj) != 4 or type(obj.get("bits")) is not int:
        return None
    context, candidates = obj.get("context"), obj.get("candidates")
    if type(context) is not dict or type(candidates) is not list:
        return None
    return context, candidates, [_candidate_id(candidates, k) for k in range(len(candidates))]


def _record(line, cut):
    """A decision line's record when every field has the type log_line
    writes and its features are a list; else None."""
    tail = line[cut + len(RECORD_KEY) - 1 :].rstrip(b" \t\r\n")
    if not tail.endswith(b"}"):
        return None
    try:
        record = _loads(tail[:-1])
    except ValueError:
        return None
    if type(record) is not dict or len(record) != 8 or not plain_record(record) \
            or type(record.get("features")) is not list:
        return None
    return record


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
