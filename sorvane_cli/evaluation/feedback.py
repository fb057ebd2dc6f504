"""A log as the dict off-policy evaluation libraries take: `n_rounds`,
`n_actions`, `action`, `reward`, `pscore`, `context`, `action_context` and
`position`, as numpy arrays.

Those libraries number their actions once for the whole log, so every
decision must offer the same candidates: the same ids, each once, with the
same features (in any order). A log whose candidate sets vary is refused,
with the first decision that differs. A round is a resolved decision (a
pending one has no reward yet); `action` is the chosen candidate's number
in `action_names` (the first decision's order) and `position` is 0 (one
slot per decision).

Features become columns as the engine's hashing sees them: a text feature
is one column per value ("name=value", 1.0 where present), a number one
column (its value), a boolean 1.0 or 0.0; an absent feature is 0.0.
`context_names` and `action_context_names` name the columns.
"""
from typing import Any

from sorvane_cli.log.lines import DecisionLine, ResolutionLine, read_log
from sorvane_cli.term_pairs import terms


class NotFixedActions(ValueError):
    """The log's candidates do not form one fixed set of actions."""


def _numpy():
    try:
        import numpy
    except ImportError:
        raise ImportError("bandit_feedback needs numpy: pip install 'sorvane[export]'") from None
    return numpy


def _offer(candidates, lineno, decision_id):
    """{id: features} of one decision's candidates; refuses repeated ids."""
    offer = {}
    for candidate in candidates:
        if not (isinstance(candidate, (list, tuple)) and len(candidate) == 2 and type(candidate[0]) is str
                and type(candidate[1]) is dict):
            raise NotFixedActions(f"decision {decision_id} (line {lineno}) has a candidate that is not an "
                                  f"[id, features] pair")
        if candidate[0] in offer:
            raise NotFixedActions(f"decision {decision_id} (line {lineno}) offers the candidate {candidate[0]!r} "
                                  f"twice: an action must be one candidate")
        offer[candidate[0]] = candidate[1]
    return offer


def _differs(first, offer, first_line, lineno, decision_id):
    missing = [name for name in first if name not in offer]
    extra = [name for name in offer if name not in first]
    if missing or extra:
        parts = ([f"lacks {', '.join(map(repr, missing))}"] if missing else []) + \
                ([f"adds {', '.join(map(repr, extra))}"] if extra else [])
        return (f"decision {decision_id} (line {lineno}) {' and '.join(parts)} against the candidates of the "
                f"first decision (line {first_line})")
    for name, features in offer.items():
        if features != first[name]:
            return (f"decision {decision_id} (line {lineno}) gives the candidate {name!r} other features than the "
                    f"first decision (line {first_line}) does")
    return None


def _matrix(np, rows, prefix):
    """The rows' features (dicts) as a float matrix and its column names."""
    columns = {}
    encoded = []
    for features in rows:
        row = {}
        for text, weight in terms(prefix, features):
            row[text[len(prefix):]] = weight
            columns.setdefault(text[len(prefix):], None)
        encoded.append(row)
    names = sorted(columns)
    index = {name: k for k, name in enumerate(names)}
    out = np.zeros((len(rows), len(names)), dtype=np.float64)
    for r, row in enumerate(encoded):
        for name, weight in row.items():
            out[r, index[name]] = weight
    return out, names


def bandit_feedback(log: Any, progress: Any = None) -> dict[str, Any]:
    """The dict of a log (a path, '-' or a LogSource); raises NotFixedActions
    (a ValueError) saying why when its candidates are not one fixed set."""
    np = _numpy()
    first = first_line = None
    number = {}
    pending: dict[str, list[Any]] = {}
    # One entry per decision, in the log's order: [context, action, pscore, reward].
    decided = []
    for event in read_log(log, progress):
        if type(event) is DecisionLine:
            record = event.record
            offer = _offer(event.candidates, event.lineno, record["decision_id"])
            if first is None:
                first, first_line = offer, event.lineno
                number = {name: k for k, name in enumerate(first)}
            else:
                why = _differs(first, offer, first_line, event.lineno, record["decision_id"])
                if why is not None:
                    raise NotFixedActions(why + ": off-policy evaluation needs the same actions in every round")
            chosen = record["chosen"]
            if not 0 <= chosen < len(event.candidates):
                raise NotFixedActions(f"decision {record['decision_id']} (line {event.lineno}) chose position "
                                      f"{chosen} of {len(event.candidates)} candidates")
            entry = [event.context, number[event.candidates[chosen][0]], record["propensity"], None]
            pending[record["decision_id"]] = entry
            decided.append(entry)
        elif type(event) is ResolutionLine:
            resolved = pending.pop(event.decision_id, None)
            if resolved is not None:
                resolved[3] = event.reward
    rounds = [entry for entry in decided if entry[3] is not None]
    contexts = [entry[0] for entry in rounds]
    actions = [entry[1] for entry in rounds]
    pscores = [entry[2] for entry in rounds]
    rewards = [entry[3] for entry in rounds]
    context, context_names = _matrix(np, contexts, "c|")
    action_context, action_context_names = _matrix(np, list((first or {}).values()), "a|")
    return {
        "n_rounds": len(actions),
        "n_actions": len(first or ()),
        "action": np.asarray(actions, dtype=np.int64),
        "reward": np.asarray(rewards, dtype=np.float64),
        "pscore": np.asarray(pscores, dtype=np.float64),
        "context": context,
        "action_context": action_context,
        "position": np.zeros(len(actions), dtype=np.int64),
        "action_names": list(first or ()),
        "context_names": context_names,
        "action_context_names": action_context_names,
    }
