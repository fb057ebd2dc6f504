"""The log's columns read by the toolkit's extension module, where it applies.

The extension (`_native.LogColumns`) reads every line with the parser of
the native replay and keeps, per decision, its record's fields, its chosen
candidate's id, its number of candidates, the index of its inputs (the
line's text before its record) among the log's distinct ones, and its
resolution: no Python object per line. It declines the whole log at the
first line it cannot read exactly as `lines` reads it, or at a resolution
given twice; the caller then reads the log the Python way, which says what
is wrong. Standard input, which cannot be read a second time, is left to
the Python way too.
"""
import array

from sorvane_cli.replay.native import feed_log, rereadable

try:
    import sorvane_cli._native as _native
except ImportError:  # pragma: no cover - the wheel always carries it
    _native = None  # type: ignore[assignment]

_OUTCOMES = (None, "rewarded", "expired")


class NativeColumns:
    """What the extension read: the decision columns by name (but kind and
    reward), `inputs` (each decision's index into `distinct_inputs`, the
    texts to parse), `outcomes` (0 pending, 1 rewarded, 2 expired, beside
    `rewards`), and the counts `resolved` and `unmatched`."""

    def __init__(self, result):
        (ids, salts, chosen_ids, t, propensity, reward, chosen, candidates, versions, inputs, outcomes, distinct,
         self.resolved, self.unmatched) = result
        self.columns = {"decision_id": ids, "salt": salts, "t": _unpacked("d", t), "chosen": _unpacked("Q", chosen),
                        "chosen_id": chosen_ids, "propensity": _unpacked("d", propensity),
                        "candidates": _unpacked("Q", candidates), "model_version": _unpacked("Q", versions)}
        self.inputs = _unpacked("I", inputs)
        self.distinct_inputs = distinct
        rewards = _unpacked("d", reward)
        self.columns["kind"] = [_OUTCOMES[k] for k in outcomes]
        self.columns["reward"] = [r if k else None for k, r in zip(outcomes, rewards)]


def _unpacked(code, data):
    """Numbers the extension packed in the machine's own order, as a list."""
    values = array.array(code)
    values.frombytes(data)
    return values.tolist()


def native_applies(source):
    """Whether the extension can read the log (a path or a LogSource): it
    is there, and the log can be read again should it decline."""
    return _native is not None and hasattr(_native, "LogColumns") and rereadable(source)


def native_columns(log, progress=None):
    """The NativeColumns of the log (a LogSource, which is read up), or None
    when the extension declines it."""
    reader = _native.LogColumns()
    if not feed_log(reader, log, progress):
        return None
    return NativeColumns(reader.result())
