"""The experience log line: the decision and resolution lines, their errors,
and byte identity with json.dumps for whatever the caller's objects hold."""
import collections
import enum
import gc
import json
import math
import os
import sys

import pytest
from hypothesis import given, settings, strategies as st

import sorvane
from conftest import SANITIZED, rss_kib, skip_when_sanitized


def dumps_line(item):
    """The line as json.dumps renders it from the item's attributes."""
    if isinstance(item, sorvane.Resolution):
        line = {"event": "resolution", "decision_id": item.decision_id, "kind": item.kind, "reward": item.reward}
    else:
        record = {
            "decision_id": item.decision_id,
            "t": item.t,
            "candidate_hash": item.candidate_hash,
            "chosen": item.chosen,
            "features": item.features,
            "propensity": item.propensity,
            "model_version": item.model_version,
            "salt": item.salt,
        }
        line = {
            "event": "decision",
            "bits": item.bits,
            "context": item.context,
            "candidates": item.candidates,
            "record": record,
        }
    return json.dumps(line, separators=(",", ":"))


def outcome(fn, *args):
    """What a call gives: its value, or its exception's type and message."""
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the result here
        return (type(e), str(e))


def decided(context=None, candidates=None, salt="s1", t=100.0, bits=18, horizon=100.0):
    state = sorvane.create(bits, horizon)
    context = {"country": "NZ"} if context is None else context
    candidates = [("a", {"price": 1.5}), ("b", {"price": 2.0})] if candidates is None else candidates
    return state, sorvane.decide(state, context, candidates, t, salt)


# One record whose context dict and candidates list the tests refill: decide
# only takes feature values, but the record holds the caller's own objects,
# which may hold anything by the time the line is written.
CONTEXT = {"country": "NZ"}
CANDIDATES = [("a", {"price": 1.5})]
_, RECORD = decided(CONTEXT, CANDIDATES)


def line_with(context=None, candidates=None):
    """log_line of RECORD, and dumps's text or exception, with the given contents."""
    CONTEXT.clear()
    CONTEXT.update(context or {})
    CANDIDATES[:] = candidates or []
    return outcome(sorvane.log_line, RECORD), outcome(dumps_line, RECORD)


# ---- whole lines, byte for byte ------------------------------------------------------


def test_decision_line_is_the_compact_json_of_event_bits_inputs_and_record():
    state, r = decided({"country": "NZ", "hour": 9}, [("a", {"price": 1.5}), ("b", {"price": 2.0})])
    features = ",".join(f"[{i},{v!r}]" for i, v in r.features)
    expected = (
        '{"event":"decision","bits":18,"context":{"country":"NZ","hour":9},'
        '"candidates":[["a",{"price":1.5}],["b",{"price":2.0}]],'
        f'"record":{{"decision_id":"s1:0","t":100.0,"candidate_hash":{r.candidate_hash},'
        f'"chosen":{r.chosen},"features":[{features}],"propensity":{r.propensity!r},'
        '"model_version":0,"salt":"s1"}}'
    )
    assert sorvane.log_line(r) == expected
    assert sorvane.log_line(item=r) == expected


def test_resolution_lines_are_the_compact_json_of_event_and_resolution():
    state = sorvane.create(18, 1.0)
    candidates = [("a", {"price": 1.5}), ("b", {"price": 2.0})]
    sorvane.decide(state, {}, candidates, 100.0, "s1")
    sorvane.decide(state, {}, candidates, 100.0, "s1")
    rewarded = sorvane.learn(state, "s1:0", 1.0, 100.5)
    (expired,) = sorvane.expire(state, 200.0)
    assert sorvane.log_line(rewarded) == '{"event":"resolution","decision_id":"s1:0","kind":"rewarded","reward":1.0}'
    assert sorvane.log_line(expired) == '{"event":"resolution","decision_id":"s1:1","kind":"expired","reward":0.0}'


# ---- wrong items ------------------------------------------------------------


def test_record_handed_to_train_cannot_be_logged():
    state, r = decided()
    seen = []
    sorvane.learn(state, r.decision_id, 1.0, 101.0, train=lambda rec, reward: seen.append(rec))
    assert seen[0].context is None
    with pytest.raises(ValueError) as info:
        sorvane.log_line(seen[0])
    assert str(info.value) == "log_line needs the record decide returned (it carries the inputs)"


@pytest.mark.parametrize("item", [42, None, "line", sorvane.create(4, 1.0), {"event": "decision"}])
def test_anything_but_a_record_or_resolution_is_refused(item):
    with pytest.raises(ValueError) as info:
        sorvane.log_line(item)
    assert str(info.value) == "log_line takes a DecisionRecord or Resolution"


def test_json_that_cannot_be_imported_fails_the_call_first(monkeypatch):
    _, r = decided()
    monkeypatch.setitem(sys.modules, "json", None)
    for item in (r, 42):
        with pytest.raises(ImportError):
            sorvane.log_line(item)
    monkeypatch.undo()
    assert sorvane.log_line(r) == dumps_line(r)


# ---- value forms ------------------------------------------------------------


def test_non_ascii_text_is_escaped():
    _, r = decided({"city": "Montréal", "note": "\U0001f600\x7f\x00\t"}, salt="sé")
    line = sorvane.log_line(r)
    assert '"city":"Montr\\u00e9al"' in line
    assert '"note":"\\ud83d\\ude00\\u007f\\u0000\\t"' in line
    assert '"salt":"s\\u00e9"' in line and '"decision_id":"s\\u00e9:0"' in line
    assert line == dumps_line(r) and line.isascii()


@pytest.mark.parametrize(
    "value, text",
    [
        (100.0, "100.0"),
        (0.975, "0.975"),
        (1e-05, "1e-05"),
        (0.0001, "0.0001"),
        (1e16, "1e+16"),
        (9999999999999998.0, "9999999999999998.0"),
        (-0.0, "-0.0"),
        (5e-324, "5e-324"),
        (0.1 + 0.2, "0.30000000000000004"),
        (1.7976931348623157e308, "1.7976931348623157e+308"),
        (math.nan, "NaN"),
        (math.inf, "Infinity"),
        (-math.inf, "-Infinity"),
    ],
)
def test_floats_are_written_as_their_repr(value, text):
    got, want = line_with({"x": value, value: 0})
    assert got == want
    assert f'"x":{text},"{text}":0' in got


def test_nan_reward_is_logged_as_nan():
    state, r = decided()
    res = sorvane.learn(state, r.decision_id, math.nan, 101.0)
    assert sorvane.log_line(res).endswith('"reward":NaN}')


@pytest.mark.parametrize("t", [math.nan, math.inf, -math.inf, -0.0, 5e-324, 1e16, 1e-5, 12345.678])
def test_unusual_decision_times_are_written_like_dumps(t):
    _, r = decided(t=t)
    assert sorvane.log_line(r) == dumps_line(r)


def test_candidate_hash_above_2_53_is_written_in_full():
    for n in range(100):
        _, r = decided(salt=f"s{n}")
        if r.candidate_hash > 2**53:
            break
    assert r.candidate_hash > 2**53
    assert f'"candidate_hash":{r.candidate_hash},' in sorvane.log_line(r)


@pytest.mark.parametrize(
    "key, text",
    [(True, "true"), (False, "false"), (None, "null"), (7, "7"), (-(2**70), str(-(2**70))), (1.5, "1.5")],
)
def test_non_string_keys_are_written_as_quoted_json(key, text):
    got, want = line_with({key: 1})
    assert got == want and f'"context":{{"{text}":1}}' in got


@pytest.mark.parametrize("n", [-(2**63) - 1, -(2**63), 2**63 - 1, 2**63, 2**64, 10**300, -(10**300)])
def test_integers_are_exact_at_any_size(n):
    got, want = line_with({"n": n}, [n])
    assert got == want and f'"n":{n}}}' in got


# ---- the caller's objects -------------------------------------------------


def test_mutating_the_context_after_decide_shows_in_the_line():
    context = {"country": "NZ"}
    _, r = decided(context)
    before = sorvane.log_line(r)
    context["country"] = "AU"
    context["extra"] = [1, None]
    after = sorvane.log_line(r)
    assert '"country":"NZ"' in before and '"context":{"country":"AU","extra":[1,null]}' in after
    assert after == dumps_line(r)


def test_logging_twice_gives_equal_lines():
    _, r = decided()
    assert sorvane.log_line(r) == sorvane.log_line(r)


def test_tuple_candidates_log_like_list_candidates():
    _, as_tuple = decided(candidates=(("a", {"price": 1.5}), ("b", {"price": 2.0})))
    _, as_list = decided(candidates=[("a", {"price": 1.5}), ("b", {"price": 2.0})])
    assert sorvane.log_line(as_tuple) == sorvane.log_line(as_list)


class Shelf:
    """A sequence decide accepts and json cannot render."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_candidates_dumps_cannot_render_fail_with_its_type_error():
    _, r = decided(candidates=Shelf([("a", {"price": 1.5})]))
    got, want = outcome(sorvane.log_line, r), outcome(dumps_line, r)
    assert got == want and got[0] is TypeError and "Shelf" in got[1]


class Colour(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Number(float):
    def __repr__(self):
        return "number"


def nested(depth):
    value = "leaf"
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    "context, candidates",
    [
        ({"lone": "\ud800x\udfff"}, []),
        ({"\udc00": 1}, []),
        ({"colour": Colour.RED, Colour.RED: Text("t")}, []),
        ({Text("k"): Number(2.5)}, [Number(0.1)]),
        ({"od": collections.OrderedDict(b=1, a=2)}, [collections.defaultdict(list, x=[1])]),
        ({"point": collections.namedtuple("P", "x y")(1, 2)}, []),
        ({"deep": nested(100)}, [nested(200)]),
        ({"shared": [[1, 2]] * 3}, []),
    ],
    ids=["lone surrogates", "surrogate key", "int enum", "str and float subclasses", "dict subclasses",
         "namedtuple", "deep nesting", "shared list"],
)
def test_values_the_writer_leaves_to_dumps_come_out_the_same(context, candidates):
    got, want = line_with(context, candidates)
    assert got == want and isinstance(got, str)


def cycle_in_dict():
    d = {}
    d["me"] = d
    return d


def cycle_in_list():
    items = []
    items.append([items])
    return items


@pytest.mark.parametrize(
    "value",
    [
        {1, 2},
        frozenset(),
        b"bytes",
        bytearray(b"x"),
        object(),
        1j,
        RECORD,
        {(1, 2): "tuple key"},
        {frozenset(): 1},
        cycle_in_dict(),
        cycle_in_list(),
        nested(100_000),
        10**5000,
    ],
    ids=["set", "frozenset", "bytes", "bytearray", "object", "complex", "record", "tuple key",
         "frozenset key", "dict cycle", "list cycle", "too deep", "int past the digit limit"],
)
def test_objects_dumps_refuses_raise_its_exception(value):
    got, want = line_with({"ok": 1, "bad": value}, [1.5])
    assert got == want and isinstance(got, tuple)
    got, want = line_with({}, [("a", {"bad": value})])
    assert got == want and isinstance(got, tuple)


def call_at_depth(depth, fn, *args):
    """"line", or the exception type, of fn called `depth` frames further down."""
    if depth > 0:
        return call_at_depth(depth - 1, fn, *args)
    try:
        fn(*args)
        return "line"
    except Exception as e:  # noqa: BLE001 - the exception is the result here
        return type(e)


# From 3.12 on, Python frames and C levels count against separate limits, and
# the module can only see the C one.
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="one recursion counter only before 3.12")
@pytest.mark.parametrize("nesting", [0, 20])
def test_near_the_recursion_limit_the_line_fails_exactly_when_dumps_would(nesting):
    # The same line twice: once all plain values, once with a str subclass
    # that sends the whole line through json.dumps.
    plain, via_dumps = {}, {}
    state = sorvane.create(4, 1.0)
    r_plain = sorvane.decide(state, plain, [("a", {})], 0.0, "s")
    r_dumps = sorvane.decide(state, via_dumps, [("a", {})], 0.0, "s")
    plain.update(v=nested(nesting), s="x")
    via_dumps.update(v=nested(nesting), s=Text("x"))
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(400)
    try:
        seen = []
        for depth in range(250, 400):
            try:
                seen.append((call_at_depth(depth, sorvane.log_line, r_plain),
                             call_at_depth(depth, sorvane.log_line, r_dumps)))
            except RecursionError:  # the test's own frames ran out
                break
    finally:
        sys.setrecursionlimit(limit)
    assert ("line", "line") in seen and (RecursionError, RecursionError) in seen
    assert all(a == b for a, b in seen)


def test_long_lines_are_written_in_full():
    context = {f"k{i}": "\U0001f600é" * 50 + str(i) for i in range(300)}
    got, want = line_with(context, [1.25] * 5000)
    assert got == want and len(got) > 200_000


def test_a_failed_line_leaves_the_callers_objects_as_they_were():
    bad = {1, 2}
    line_with({"a": [1, 2], "b": bad})
    counts = (sys.getrefcount(CONTEXT), sys.getrefcount(CANDIDATES), sys.getrefcount(bad))
    for _ in range(3):
        with pytest.raises(TypeError):
            sorvane.log_line(RECORD)
    assert CONTEXT == {"a": [1, 2], "b": bad}
    assert (sys.getrefcount(CONTEXT), sys.getrefcount(CANDIDATES), sys.getrefcount(bad)) == counts
    CONTEXT["b"] = "fine"
    counts = (sys.getrefcount(CONTEXT), sys.getrefcount(CANDIDATES))
    for _ in range(3):
        sorvane.log_line(RECORD)
    assert (sys.getrefcount(CONTEXT), sys.getrefcount(CANDIDATES)) == counts


@skip_when_sanitized
def test_logging_many_lines_keeps_memory_flat():
    state, r = decided({"n": 1.25, "t": "x"}, [("a", {"p": 2.5})] * 10)
    fallback_context = {}
    _, fallback = decided(fallback_context)
    fallback_context["lone"] = "\ud800"
    res = sorvane.learn(state, r.decision_id, 0.5, 101.0)

    def burst():
        for _ in range(10_000):
            sorvane.log_line(r)
            sorvane.log_line(res)
            sorvane.log_line(fallback)
            outcome(sorvane.log_line, 42)

    burst()
    gc.collect()
    before = rss_kib()
    burst()
    gc.collect()
    assert rss_kib() - before < 2048


# ---- byte identity over generated objects -----------------------------------

SPECIAL_FLOATS = [
    0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
    1e16, 9999999999999998.0, 1.0000000000000002e16, 1e15, 1e-4, 1e-5, 9.999999999999999e-05,
    0.00010000000000000002, 0.1, 0.30000000000000004, 2.0**53, 2.0**53 + 2, 123456789.125,
    math.nan, math.inf, -math.inf,
]

floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(SPECIAL_FLOATS)
integers = st.integers() | st.integers(min_value=-(2**200), max_value=2**200) | st.sampled_from(
    [2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, 2**64 - 1]
)
# Every character a str can hold as UTF-8: all but the lone surrogates.
characters = st.characters(max_codepoint=0xD7FF) | st.characters(min_codepoint=0xE000)
texts = st.text(
    characters | st.sampled_from('"\\\n\r\t\b\f\x00\x1f\x7f\x80\u2028\uffff'),
    max_size=12,
) | st.text(st.characters(min_codepoint=0x10000), max_size=4)
keys = texts | integers | floats | st.booleans() | st.none()
scalars = st.none() | st.booleans() | integers | floats | texts
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5)
    | st.lists(inner, max_size=5).map(tuple)
    | st.dictionaries(keys, inner, max_size=5),
    max_leaves=16,
)


@settings(max_examples=150 if not SANITIZED else 40, deadline=None)
@given(context=st.dictionaries(keys, values, max_size=4), candidates=st.lists(values, max_size=4))
def test_decision_line_is_byte_identical_to_dumps(context, candidates):
    got, want = line_with(context, candidates)
    assert got == want


@settings(max_examples=100 if not SANITIZED else 20, deadline=None)
@given(
    salt=st.text(characters, max_size=10),
    t=floats,
    reward=floats,
)
def test_record_fields_and_resolution_line_are_byte_identical_to_dumps(salt, t, reward):
    state, r = decided({"n": 2.5, "c": salt}, [(salt, {"p": 0.1, "q": salt}), ("b", {"p": 1e-7})], salt=salt, t=t)
    assert sorvane.log_line(r) == dumps_line(r)
    res = sorvane.learn(state, r.decision_id, reward, t)
    assert sorvane.log_line(res) == dumps_line(res)


@pytest.mark.skipif(not os.environ.get("SORVANE_LONG_TESTS"), reason="long: set SORVANE_LONG_TESTS=1")
def test_random_doubles_are_written_as_their_repr():
    import random
    import struct

    rng = random.Random(2024)
    for _ in range(200):
        batch = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(5000)]
        got, want = line_with({}, batch)
        assert got == want
