"""A replayed decision record against the logged one: its text whole, or
field by field, naming the first place they part."""
import operator

import sorvane

from sorvane_cli.log.lines import RECORD_KEY
from sorvane_cli.log.values import same_float


def features_difference(logged, replayed):
    """The first place where two feature lists part, as a (field, logged,
    replayed) triple."""
    for k, (a, b) in enumerate(zip(logged, replayed)):
        if a[0] != b[0] or not same_float(float(a[1]), b[1]):
            return f"features[{k}]", list(a), list(b)
    return "features (number of pairs)", len(logged), len(replayed)


def _same_number(logged, replayed):
    return same_float(float(logged), replayed)


# The record's fields around its feature list, in the order they are
# reported, each with how a logged value is compared with the replayed one.
FIELDS_BEFORE_FEATURES = (("decision_id", operator.eq), ("t", _same_number), ("candidate_hash", operator.eq),
                           ("chosen", operator.eq))
FIELDS_AFTER_FEATURES = (("propensity", _same_number), ("model_version", operator.eq), ("salt", operator.eq))


def field_differences(record, replayed, fields, diffs):
    for name, same in fields:
        logged, value = record[name], getattr(replayed, name)
        if not same(logged, value):
            diffs.append((name, logged, value))


def renders_as(replayed, ev):
    """Whether the line of `ev`, which took the reader's fast path, holds
    exactly the replayed record's text from its record key to the end.
    Equal text proves every record field equal; unequal text proves nothing
    (another JSON writer may have spaced or spelled the numbers otherwise),
    so the fields are then compared.

    The record's inputs are emptied first: log_line renders them as they are
    when it is called, and their text, the larger part of the line, is not
    what needs proving. Nothing reads them after the decision."""
    replayed.context.clear()
    replayed.candidates.clear()
    text = sorvane.log_line(replayed)
    record = text[text.find(RECORD_KEY.decode()):].encode()
    line, at = ev.line, ev.record_at
    size = len(line) - at
    return (line.startswith(record, at)
            and (size == len(record) or (size == len(record) + 1 and line.endswith(b"\n"))))
