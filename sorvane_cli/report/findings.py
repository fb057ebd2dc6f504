"""What a pass over the log found wrong, by kind, with the first few in full."""

# Kind key (stable, used in --json) -> the words shown to people.
KINDS = {
    "empty-log": "empty log",
    "not-json": "not JSON",
    "too-long": "line too long",
    "malformed": "not a readable event",
    "unknown-id": "resolution of no pending decision",
    "record-mismatch": "decision record differs",
    "resolution-mismatch": "resolution inconsistent with its decision",
    "host-policy": "not reproducible by the built-in policy (host score/explore)",
    "diverged": "the replay diverges from the log",
    # verify --checkpoints: a segment that does not end in its checkpoint's state
    "checkpoint-mismatch": "replayed state differs from the checkpoint",
}


# A field compared with what the built-in policy gives rather than with the
# replayed record carries this after its name, in the text and in --json.
_BUILTIN = " (built-in policy)"


def builtin_field(name):
    """The field name for a comparison with the built-in policy's value."""
    return name + _BUILTIN


def split_field(name):
    """(the record's field name, whether it is compared with the built-in policy)."""
    if name.endswith(_BUILTIN):
        return name[:-len(_BUILTIN)], True
    return name, False


def against_builtin(record, builtin):
    """The logged choice and propensity beside the built-in policy's."""
    return [(builtin_field("chosen"), record["chosen"], builtin[0]),
            (builtin_field("propensity"), record["propensity"], builtin[1])]


class Finding:
    __slots__ = ("lineno", "kind", "message", "fields", "follows")

    def __init__(self, lineno, kind, message, fields=(), follows=None):
        self.lineno = lineno
        self.kind = kind
        self.message = message
        # (field name, value in the log, value the replay gives)
        self.fields = list(fields)
        # For a first cause: how many later lines differ because of it.
        self.follows = follows

    def as_dict(self):
        out = {
            "line": self.lineno,
            "kind": self.kind,
            "message": self.message,
            "fields": [{"field": f, "logged": a, "replayed": b} for f, a, b in self.fields],
        }
        if self.follows is not None:
            out["follow_on"] = self.follows
        return out


class Findings:
    def __init__(self, keep):
        self.keep = keep
        self.counts = {}
        self.first = []

    def add(self, finding):
        self.counts[finding.kind] = self.counts.get(finding.kind, 0) + 1
        if len(self.first) < self.keep:
            self.first.append(finding)

    @property
    def total(self):
        return sum(self.counts.values())

    def only_host_policy(self):
        return bool(self.counts) and set(self.counts) == {"host-policy"}


def unknown_id(lineno, decision_id):
    """The finding of a resolution that resolves no pending decision."""
    return Finding(lineno, "unknown-id", f"no pending decision has the id {decision_id!r}: no earlier decision "
                                         "line made it, or it was resolved already")
