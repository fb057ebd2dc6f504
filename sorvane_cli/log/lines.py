"""Reading the experience log: one JSON object per line, as `log_line` wrote
it, decision lines and resolution lines in the order the host appended them.

Lines come back as `DecisionLine`, `ResolutionLine` or `BadLine` objects
carrying their 1-based line numbers. Lines in the exact layout `log_line`
writes take fast paths: a resolution line is matched whole against that
layout, and a decision line is parsed but for its feature list (most of the
line's bytes), which stays unparsed text; the line itself is kept, so verify
can compare it with the replayed record's own log line. Any other line is
parsed in full and checked field by field, so a reformatted log still reads.
"""
import json
import json.scanner
import re
from collections.abc import Callable
from typing import Any

from sorvane_cli.log.header import header_problem, parse_header
from sorvane_cli.log.source import MAX_LINE_BYTES, TOO_LONG

# The C scanner straight, without the wrappers of json.loads around it; any
# text it does not take whole goes to json.loads, for its exact error.
_c_make_scanner = getattr(json.scanner, "c_make_scanner", None)
_scan = _c_make_scanner(json.JSONDecoder()) if _c_make_scanner else None

try:
    # orjson, where installed, reads a decision line's head in about half
    # the time. It returns the values json returns, but for integers past 64
    # bits, which come back as their nearest float: what decide makes of
    # them in any case, and a record field so read fails the plain check
    # and goes to json. What it refuses (NaN, Infinity, numbers past the
    # float range, lone surrogates) goes to json as well.
    from orjson import loads as _orjson_loads
    _fast_loads: Callable[[bytes], Any] | None = _orjson_loads
except ImportError:  # pragma: no cover - orjson comes with the test extra
    _fast_loads = None


def _loads(data):
    if _scan is not None:
        try:
            text = data.decode("utf-8")
            obj, end = _scan(text, 0)
        except (StopIteration, ValueError, RecursionError):
            pass
        else:
            if end == len(text) or not text[end:].strip(" \t\r\n"):
                return obj
    return json.loads(data)

# How every decision and resolution line that log_line writes begins.
DECISION_PREFIX = b'{"event":"decision",'
RESOLUTION_PREFIX = b'{"event":"resolution",'
RECORD_KEY = b',"record":{'
_FEATURES_KEY = b',"features":'
_PROPENSITY_KEY = b',"propensity":'

# A resolution line exactly as log_line writes it: an id without escapes,
# control or non-ASCII characters, and a reward in float form (an integer
# reward goes the long way, which knows when it is too large for a float).
# What the groups hold reads the same as the JSON parse would read it.
_RESOLUTION_LINE = re.compile(
    re.escape(RESOLUTION_PREFIX) + rb'"decision_id":"([^"\\\x00-\x1f\x80-\xff]*)","kind":"(rewarded|expired)",'
    rb'"reward":(-?(?:0|[1-9][0-9]*)(?:\.[0-9]+(?:[eE][-+]?[0-9]+)?|[eE][-+]?[0-9]+)|NaN|-?Infinity)\}'
    rb'[ \t\r\n]*').fullmatch
_KINDS = {b"rewarded": "rewarded", b"expired": "expired"}

# The record fields other than the feature list, with the JSON type each must have.
_INT = "integer"
_NUM = "number"
_STR = "string"
_RECORD_TYPES = {
    "decision_id": _STR,
    "t": _NUM,
    "candidate_hash": _INT,
    "chosen": _INT,
    "propensity": _NUM,
    "model_version": _INT,
    "salt": _STR,
}


class DecisionLine:
    __slots__ = ("lineno", "bits", "context", "candidates", "record", "features", "features_text", "line",
                 "record_at")

    def __init__(self, lineno, bits, context, candidates, record, features, features_text, line=None,
                 record_at=-1):
        self.lineno = lineno
        self.bits = bits
        self.context = context
        self.candidates = candidates
        # decision_id, t, candidate_hash, chosen, propensity, model_version, salt
        self.record = record
        # Either the parsed [[index, value], ...] list or, from the fast path,
        # its JSON text (bytes) still unparsed; exactly one is not None.
        self.features = features
        self.features_text = features_text
        # The whole line (bytes) when it took the fast path, and where its
        # RECORD_KEY starts.
        self.line = line
        self.record_at = record_at

    def parsed_features(self):
        if self.features is None:
            self.features = _loads(self.features_text)
        return self.features


class ResolutionLine:
    __slots__ = ("lineno", "decision_id", "kind", "reward")

    def __init__(self, lineno, decision_id, kind, reward):
        self.lineno = lineno
        self.decision_id = decision_id
        self.kind = kind
        self.reward = reward


class BadLine:
    """A line that is not a readable event; `kind` is "not-json" or "malformed"."""

    __slots__ = ("lineno", "kind", "message")

    def __init__(self, lineno, kind, message):
        self.lineno = lineno
        self.kind = kind
        self.message = message


def _type_ok(value, expected):
    t = type(value)
    if expected is _INT:
        return t is int
    if expected is _NUM:
        return t is float or t is int
    return t is str


def _describe(value):
    if value is None:
        return "null"
    return {bool: "a boolean", int: "an integer", float: "a number", str: "a string",
            list: "an array", dict: "an object"}.get(type(value), type(value).__name__)


def features_problem(features):
    """Why a parsed feature list is not one, or None."""
    if type(features) is not list:
        return "record.features must be an array, not " + _describe(features)
    for pair in features:
        if (type(pair) is not list or len(pair) != 2 or type(pair[0]) is not int or not _type_ok(pair[1], _NUM)
                or not _fits_float(pair[1])):
            return "record.features must hold [index, value] pairs of an integer and a number"
    return None


def _fits_float(value):
    try:
        float(value)
    except OverflowError:
        return False
    return True


def _plain(record):
    """Whether every record field but the features is there with the type
    log_line writes: the common case, checked in one go."""
    get = record.get
    return (type(get("t")) is float and type(get("propensity")) is float and type(get("chosen")) is int
            and type(get("candidate_hash")) is int and type(get("model_version")) is int
            and type(get("decision_id")) is str and type(get("salt")) is str)


def _decision(lineno, obj, record, features, features_text):
    """A DecisionLine, or a BadLine naming the first field that is wrong."""
    bits = obj.get("bits")
    if type(bits) is not int:
        return BadLine(lineno, "malformed", "decision line: bits must be an integer, not " + _describe(bits))
    context = obj.get("context")
    if type(context) is not dict:
        return BadLine(lineno, "malformed", "decision line: context must be an object, not " + _describe(context))
    candidates = obj.get("candidates")
    if type(candidates) is not list:
        return BadLine(lineno, "malformed",
                       "decision line: candidates must be an array, not " + _describe(candidates))
    if type(record) is not dict:
        return BadLine(lineno, "malformed", "decision line: record must be an object, not " + _describe(record))
    for name, expected in _RECORD_TYPES.items():
        if name not in record:
            return BadLine(lineno, "malformed", f"decision line: record has no {name}")
        value = record[name]
        if not _type_ok(value, expected):
            return BadLine(lineno, "malformed",
                           f"decision line: record.{name} must be {'an' if expected is _INT else 'a'} "
                           f"{expected}, not {_describe(value)}")
        if expected is _NUM and type(value) is int:
            if not _fits_float(value):
                return BadLine(lineno, "malformed", f"decision line: record.{name} is too large for a float")
            record[name] = float(value)
    if features_text is None:
        problem = features_problem(features)
        if problem:
            return BadLine(lineno, "malformed", "decision line: " + problem)
    return DecisionLine(lineno, bits, context, candidates, record, features, features_text)


def _fast_decision(lineno, line):
    """The canonical decision line parsed but for its feature list, or None."""
    # A feature list holds no quote, so the last quote before the
    # propensity closes its key: found without scanning the list's bytes.
    stop = line.rfind(_PROPENSITY_KEY)
    start = line.rfind(b'"', 0, stop) - (len(_FEATURES_KEY) - 2)
    if line.startswith(_FEATURES_KEY, start):
        cut = line.rfind(RECORD_KEY, 0, start)
    else:
        # A damaged list: still read the rest, so that the decision is
        # replayed and only its features are reported.
        cut = line.rfind(RECORD_KEY)
        start = line.find(_FEATURES_KEY, cut)
        stop = line.find(_PROPENSITY_KEY, start)
    if cut < 0 or start < 0 or stop < 0 or _scan is None:
        return None
    if not _one_value_between(line, start + len(_FEATURES_KEY), stop):
        # A key put between the list and the propensity, or a brace closing
        # the record early: the slice is not the list. The long way reads it.
        return None
    # One parse of everything but the features.
    head = line[:start] + line[stop:]
    if head.find(b'"record"', cut + len(RECORD_KEY)) >= 0:
        # Another record key after this one: the parse keeps the last, which
        # may not be the one the features were cut from. The long way says so.
        return None
    if _fast_loads is not None:
        try:
            event = _plain_decision(lineno, _fast_loads(head), line, start, stop, cut)
        except ValueError:
            event = None
        if event is not None:
            return event
    try:
        text = head.decode()
        obj, end = _scan(text, 0)
    except (StopIteration, ValueError, RecursionError):
        return None
    if end != len(text) and text[end:].strip(" \t\r\n"):
        return None
    event = _plain_decision(lineno, obj, line, start, stop, cut)
    if event is not None:
        return event
    record = _head_record(obj)
    if record is None:
        return None
    return _decision(lineno, obj, record, None, line[start + len(_FEATURES_KEY) : stop])


def _one_value_between(line, begin, end):
    """Whether line[begin:end] may be taken for the feature list alone,
    however damaged. Within valid JSON, anything else there (another key,
    the record's end) brings a quote or a closing brace, which a list of
    number pairs never holds. With one there, the text may still be a
    damaged list (its decision is replayed and only its features reported);
    but when it is not one JSON value and the line is valid JSON, only the
    full parse reads the line as json does."""
    if begin <= end:
        if line.find(b'"', begin, end) < 0 and line.find(b"}", begin, end) < 0:
            return True
        if _is_json(line[begin:end]):
            return True
    return not _is_json(line)


def _is_json(data):
    try:
        _loads(data)
    except (ValueError, RecursionError):
        return False
    return True


def _head_record(obj):
    """The record of a parsed head with the keys of a decision line, or None."""
    if type(obj) is not dict or len(obj) != 5 or obj.get("event") != "decision":
        return None
    record = obj.get("record")
    return record if type(record) is dict and len(record) == 7 else None


def _plain_decision(lineno, obj, line, start, stop, cut):
    """The DecisionLine of a parsed head whose every field has the type
    log_line writes, or None."""
    record = _head_record(obj)
    if record is None or not _plain(record):
        return None
    get = obj.get
    bits = get("bits")
    context = get("context")
    candidates = get("candidates")
    if type(bits) is int and type(context) is dict and type(candidates) is list:
        return DecisionLine(lineno, bits, context, candidates, record, None, line[start + len(_FEATURES_KEY) : stop],
                            line, cut)
    return None


def _incomplete(lineno, line):
    return BadLine(lineno, "incomplete", f"the log ends {len(line):,} bytes into a line that has no newline: the "
                                         "writer stopped mid-line; the lines before it are whole")


def parse_in_full(lineno, line):
    """One log line as an event object, every field parsed and checked."""
    try:
        obj = _loads(line)
    except UnicodeDecodeError:
        # Only the last line lacks its newline: one cut short.
        if not line.endswith(b"\n"):
            return _incomplete(lineno, line)
        return BadLine(lineno, "not-json", "the line is not valid UTF-8")
    except RecursionError:
        return BadLine(lineno, "malformed", "neither a decision nor a resolution: nested too deeply to read")
    except ValueError as exc:
        if not line.strip():
            return BadLine(lineno, "not-json", "the line is empty")
        if not line.endswith(b"\n"):
            return _incomplete(lineno, line)
        if isinstance(exc, json.JSONDecodeError):
            # Some of json's messages end in "at" ("Unterminated string starting at").
            detail = exc.msg[:-3] if exc.msg.endswith(" at") else exc.msg
            return BadLine(lineno, "not-json", f"{detail} at column {exc.colno}")
        return BadLine(lineno, "not-json", str(exc))
    if type(obj) is not dict:
        return BadLine(lineno, "malformed", "neither a decision nor a resolution: the line is " + _describe(obj))
    event = obj.get("event")
    if event == "decision":
        record = obj.get("record")
        features = None
        if type(record) is dict:
            if "features" not in record:
                return BadLine(lineno, "malformed", "decision line: record has no features")
            features = record["features"]
        return _decision(lineno, obj, record, features, None)
    if event == "resolution":
        decision_id = obj.get("decision_id")
        if type(decision_id) is not str:
            return BadLine(lineno, "malformed",
                           "resolution line: decision_id must be a string, not " + _describe(decision_id))
        kind = obj.get("kind")
        if kind not in ("rewarded", "expired") or type(kind) is not str:
            return BadLine(lineno, "malformed",
                           f'resolution line: kind must be "rewarded" or "expired", not {json.dumps(kind)}')
        if "reward" not in obj:
            return BadLine(lineno, "malformed", "resolution line: it has no reward")
        reward = obj["reward"]
        if reward is not None and not _type_ok(reward, _NUM):
            return BadLine(lineno, "malformed",
                           "resolution line: reward must be a number or null, not " + _describe(reward))
        if type(reward) is int:
            if not _fits_float(reward):
                return BadLine(lineno, "malformed", "resolution line: reward is too large for a float")
            reward = float(reward)
        return ResolutionLine(lineno, decision_id, kind, reward)
    if event == "header":
        # One past the first line is a restart's; read_log holds it to the first.
        header = parse_header(lineno, obj)
        return header if header is not None else BadLine(lineno, "malformed", header_problem(obj))
    if "event" not in obj:
        return BadLine(lineno, "malformed", "neither a decision nor a resolution: the object has no event")
    return BadLine(lineno, "malformed",
                   f"neither a decision nor a resolution: event is {json.dumps(event)}")


def event_of(lineno, line, max_line_bytes=MAX_LINE_BYTES):
    """One line (bytes, or TOO_LONG) as an event object: what read_log gives for it."""
    if line is TOO_LONG:
        return _too_long(lineno, max_line_bytes)
    if line.startswith(DECISION_PREFIX):
        event = _fast_decision(lineno, line)
        if event is not None:
            return event
    else:
        match = _RESOLUTION_LINE(line)
        if match is not None:
            decision_id, kind, reward = match.groups()
            return ResolutionLine(lineno, decision_id.decode("ascii"), _KINDS[kind], float(reward))
    return parse_in_full(lineno, line)


def _too_long(lineno, limit):
    return BadLine(lineno, "too-long", f"the line is longer than {limit:,} bytes (--max-line-bytes); "
                                       "it was skipped unread")
