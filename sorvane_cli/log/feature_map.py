"""Which (context term, candidate term) pairs of a log hash to which of a
model's coordinates: the names that let a user see what a weight stands for.

Every distinct context and candidate set of the log is hashed once, so a
log of many decisions over few distinct inputs costs little more than its
reading.
"""
import json

from sorvane_cli.log.lines import BadLine, DecisionLine, read_log
from sorvane_cli.term_pairs import PairHasher, candidate_terms, context_terms


class FeatureMap:
    """`pairs[index]` lists the (context term, candidate term, sign) of the
    log that hash to coordinate `index` at `bits`; `inputs` holds the log's
    distinct (context, candidates); `decisions` and `skipped` count the
    decision lines read and the unreadable lines."""

    def __init__(self, bits):
        self.bits = bits
        self.hasher = PairHasher(bits)
        self.pairs = {}
        self.inputs = []
        self.decisions = 0
        self.skipped = 0
        self.other_bits = 0  # decisions made at bits other than the model's

    def read(self, source, progress=None):
        """Reads a log (a path or a LogSource) and maps its pairs."""
        seen = set()
        inputs = self.inputs
        for event in read_log(source, progress):
            if type(event) is DecisionLine:
                self.decisions += 1
                if event.bits != self.bits:
                    self.other_bits += 1
                # The raw text of a line's inputs, where the fast path kept
                # the line, tells distinct inputs apart without a parse.
                key = event.line[: event.record_at] if event.line is not None else _inputs_text(event)
                if key not in seen:
                    seen.add(key)
                    inputs.append((event.context, event.candidates))
            elif type(event) is BadLine:
                self.skipped += 1
        distinct = set()
        for context, candidates in inputs:
            c_terms = [text for text, _ in context_terms(context)]
            for candidate in candidates:
                if not is_candidate(candidate):
                    continue
                for a_text, _ in candidate_terms(candidate[0], candidate[1]):
                    for c_text in c_terms:
                        distinct.add((c_text, a_text))
        for c_text, a_text in sorted(distinct):
            index, sign = self.hasher.coordinate(c_text, a_text)
            self.pairs.setdefault(index, []).append((c_text, a_text, sign))
        return self


    def candidates(self, limit):
        """(context, candidate id, features) of each candidate of the first
        `limit` distinct inputs."""
        for context, candidates in self.inputs[:limit]:
            for candidate in candidates:
                if is_candidate(candidate):
                    yield context, candidate[0], candidate[1]


def is_candidate(candidate):
    return (isinstance(candidate, (list, tuple)) and len(candidate) == 2 and type(candidate[0]) is str
            and type(candidate[1]) is dict)


def _inputs_text(event):
    return json.dumps([event.context, event.candidates], sort_keys=False).encode()
