"""The usual mix-ups of logs and states, each told as one cause from the
decision ids alone.

`decide` names its decisions "salt:count", the count being the state's
decisions before it. So a replay that starts from the right state meets,
line after line, exactly the id it makes. Where the logged id says
otherwise, the log and the state were mixed up: the log continues from a
saved state that was not given, or begins before or after the one given;
the host restarted from an older checkpoint; a second log follows the
first; two states wrote into one log. Every later line then differs as a
consequence, so the replay reports that one cause, with what to do, and
counts the lines that follow from it.
"""
from sorvane_cli.report.findings import Finding

KIND = "mix-up"


def _parts(decision_id, salt):
    """The count of an id `decide` made with `salt`, or None."""
    prefix, sep, count = decision_id.rpartition(":")
    if not sep or prefix != salt or not count.isdigit() or (count[0] == "0" and count != "0"):
        return None
    return int(count)


class IdTrail:
    """Follows the logged decision ids against the replayed state's count."""

    def __init__(self, from_state):
        self.from_state = from_state
        self.cause = None
        self._seen = 0
        self._previous_salt = None
        # The last decision line's id and line number.
        self._last = None
        # After a cause: the id the first sequence would go on with, and
        # whether it did (two states interleaved rather than one after the other).
        self._resumes = None
        self._second = None
        self.interleaved = False

    def check(self, lineno, record, expected):
        """The mix-up Finding the decision line at `lineno` starts, or None.
        `expected` is the replayed state's decision count."""
        salt = record["salt"]
        if self.cause is not None:
            logged = record["decision_id"]
            if self._resumes is not None and logged == f"{self._resumes[0]}:{self._resumes[1]}":
                # The first sequence goes on while the second has not come to it.
                if logged != f"{self._second[0]}:{self._second[1]}":
                    self.interleaved = True
                self._resumes = (self._resumes[0], self._resumes[1] + 1)
            if logged == f"{self._second[0]}:{self._second[1]}":
                self._second = (self._second[0], self._second[1] + 1)
            return None
        first = self._seen == 0
        self._seen += 1
        previous, self._previous_salt = self._previous_salt, salt
        last, self._last = self._last, (record["decision_id"], lineno)
        n = _parts(record["decision_id"], salt)
        if n is None or n == expected:
            return None
        logged = record["decision_id"]
        # The ids of the sequence this line begins, as it goes on.
        self._second = (salt, n + 1)
        if first:
            message = self._first_message(logged, salt, n, expected, lineno)
        elif n > expected:
            return None  # lines lost: the replay says what differs, line by line
        elif last is not None and last[0] == logged:
            message = (f"line {lineno} repeats the decision {logged} of line {last[1]}: it was written twice (or "
                       "two pieces of the log overlap), so every later decision comes out one off. Remove the "
                       f"repeated line")
        else:
            self._resumes = (previous, expected) if previous is not None else None
            if n == 0:
                message = (f"the decision ids start again at {logged} after {expected} decisions: a second log "
                           f"follows the first from line {lineno} (two logs concatenated). Verify each log on its "
                           "own")
            else:
                message = (f"the decision ids go back from {previous}:{expected - 1} to {logged} at line {lineno}: "
                           f"the host restarted from an older checkpoint (saved after {n} decisions) and logged on. "
                           f"Verify the lines before line {lineno} on their own, and the lines from it with "
                           "--from-state and the checkpoint it restarted from")
        self.cause = Finding(lineno, KIND, message, [("decision_id", logged, f"{salt}:{expected}")], follows=0)
        return self.cause

    def _first_message(self, logged, salt, n, expected, lineno):
        if not self.from_state:
            return (f"the log's first decision is {logged}, not {salt}:0: the log continues from a saved state. "
                    f"Pass --from-state with the state the host saved after {n} decisions, before line {lineno}")
        if n < expected:
            return (f"the log's first decision is {logged}, but the state of --from-state has made {expected} "
                    f"decisions: the log begins {expected - n} decision{'s' if expected - n != 1 else ''} before "
                    f"the state. Cut the log to begin at {salt}:{expected}, or pass the state saved after {n} "
                    "decisions")
        return (f"the log's first decision is {logged}, but the state of --from-state has made only {expected} "
                f"decisions: the log begins {n - expected} decisions after the state. Pass the state saved after "
                f"{n} decisions (or the log's lines before are lost)")

    def finish(self):
        """Says, once the whole log is read, that two states took turns."""
        cause = self.cause
        if cause is not None and self.interleaved:
            salt = cause.fields[0][1].rpartition(":")[0]
            cause.message = (f"decisions of two states are interleaved: from line {cause.lineno} on, ids of salt "
                             f"{salt!r} do not follow the count of the state before them, whose ids go on between "
                             "them. Split the log by state (salt) and verify each part on its own")
