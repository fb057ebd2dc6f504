"""How decide reads its context and candidates: what it accepts, the exact
error for every kind of bad input, and which error wins when there are
several."""
import collections
import math

import pytest

import sorvane
from decide_reference import hash_candidate

STATE = sorvane.create(16, 1.0)


def decide(context, candidates, **taps):
    return sorvane.decide(STATE, context, candidates, 0.0, "s", **taps)


class Foo:
    pass


class Pairs:
    """A sequence by __getitem__ alone: no length, no __iter__."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class LyingLength(Pairs):
    def __len__(self):
        return 2**62


class BrokenLength(Pairs):
    def __len__(self):
        raise RuntimeError("no length")


class FailingItem(Pairs):
    def __getitem__(self, i):
        if i == 1:
            raise KeyError("second")
        return super().__getitem__(i)


class NamedTuplePair(collections.namedtuple("NamedTuplePair", "id features")):
    pass


class Text(str):
    pass


class Mapping(dict):
    """Overrides every reading method; decide reads the dict's storage."""

    def __iter__(self):
        raise AssertionError("iterated")

    def items(self):
        raise AssertionError("items")

    def __getitem__(self, key):
        raise AssertionError("indexed")

    def keys(self):
        raise AssertionError("keys")


def vector(context, identifier, features, bits=16):
    return hash_candidate(context, identifier, features, bits)


@pytest.mark.parametrize(
    "candidates",
    [
        [("a", {}), ("b", {"k": 1})],
        (("a", {}), ("b", {"k": 1})),
        Pairs([("a", {}), ("b", {"k": 1})]),
        LyingLength([("a", {}), ("b", {"k": 1})]),
        BrokenLength([("a", {}), ("b", {"k": 1})]),
        [NamedTuplePair("a", {}), NamedTuplePair("b", Mapping(k=1))],
        [(Text("a"), {}), ("b", {Text("k"): 1})],
        collections.deque([("a", {}), ("b", {"k": 1})]),
    ],
)
def test_any_sequence_of_identifier_and_dict_pairs_is_read_alike(candidates):
    explore = lambda e, eps: [0.0, 1.0]  # noqa: E731
    record = decide({}, candidates, explore=explore)
    assert record.features == vector({}, "b", {"k": 1})
    assert record.candidates is candidates


@pytest.mark.parametrize(
    "context, same_as",
    [
        ({"n": True}, {"n": 1.0}),
        ({"n": False}, {"n": 0.0}),
        ({"n": 1}, {"n": 1.0}),
        ({"n": None, "u": "v"}, {"u": "v"}),
        ({"color": Text("red")}, {"color": "red"}),
        ({"n": 2**60}, {"n": float(2**60)}),
        (Mapping(u="v", n=3), {"u": "v", "n": 3.0}),
        ({"big": 1e308, "tiny": 5e-324, "nan": math.nan}, {"big": 1e308, "tiny": 5e-324, "nan": math.nan}),
    ],
)
def test_feature_values_convert_by_kind(context, same_as):
    candidates = [("x", {"f": True, "g": None, "h": 2})]
    got = decide(context, candidates).features
    want = vector(same_as, "x", {"f": 1.0, "h": 2.0})
    assert repr(got) == repr(want)


def test_an_int_subclass_is_converted_by_its_own_float():
    class Weighted(int):
        def __float__(self):
            return 2.5

    assert decide({"n": Weighted(7)}, [("x", {})]).features == vector({"n": 2.5}, "x", {})


def test_empty_context_and_featureless_candidate_are_valid():
    assert decide({}, [("a", {})]).features == vector({}, "a", {})


def test_duplicate_identifiers_are_two_candidates_with_one_vector():
    record = decide({"u": "v"}, [("a", {"k": 1}), ("a", {"k": 1})], explore=lambda e, eps: [0.0, 1.0])
    assert record.chosen == 1 and record.features == vector({"u": "v"}, "a", {"k": 1})


class Sneaky(int):
    """An int whose float conversion changes the dict being read."""

    def __new__(cls, target, change):
        obj = super().__new__(cls, 1)
        obj.target, obj.change = target, change
        return obj

    def __float__(self):
        self.change(self.target)
        return 1.0


def grow(d):
    d["added"] = 1


def swap(d):
    del d["n"]
    d["other"] = 1


def sneaky_dict(change):
    d = {}
    d["n"] = Sneaky(d, change)
    return d


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return str(info.value)


def test_a_dict_growing_while_it_is_read_is_an_internal_fault():
    assert panic_message(lambda: decide(sneaky_dict(grow), [("a", {})])) == "dictionary changed size during iteration"
    assert panic_message(lambda: decide({}, [("a", sneaky_dict(grow))])) == "dictionary changed size during iteration"


def test_a_dict_whose_keys_change_while_it_is_read_is_an_internal_fault():
    assert panic_message(lambda: decide(sneaky_dict(swap), [("a", {})])) == "dictionary keys changed during iteration"


def test_the_state_still_works_after_a_dict_changed_under_the_reading():
    s = sorvane.create(8, 1.0)
    panic_message(lambda: sorvane.decide(s, sneaky_dict(grow), [("a", {})], 0.0, "s"))
    assert sorvane.decide(s, {}, [("a", {})], 0.0, "s").decision_id == "s:0"


NOT_A = " object is not an instance of "

BAD_INPUTS = [
    # (context, candidates, exception, message)
    ({}, "ab", TypeError, "Can't extract `str` to `Vec`"),
    ({}, Text("ab"), TypeError, "Can't extract `str` to `Vec`"),
    ({}, {"a": {}}, TypeError, "'dict'" + NOT_A + "'Sequence'"),
    ({}, None, TypeError, "'None' is not an instance of 'Sequence'"),
    ({}, 5, TypeError, "'int'" + NOT_A + "'Sequence'"),
    ({}, {"a"}, TypeError, "'set'" + NOT_A + "'Sequence'"),
    ({}, (p for p in [("a", {})]), TypeError, "'generator'" + NOT_A + "'Sequence'"),
    ({}, iter([("a", {})]), TypeError, "'list_iterator'" + NOT_A + "'Sequence'"),
    ({}, Foo(), TypeError, "'Foo'" + NOT_A + "'Sequence'"),
    ({}, ["a", "b"], TypeError, "'str'" + NOT_A + "'tuple'"),
    ({}, [["a", {}]], TypeError, "'list'" + NOT_A + "'tuple'"),
    ({}, [None], TypeError, "'None' is not an instance of 'tuple'"),
    ({}, [("a", {}, 1)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ({}, [()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ({}, [("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ({}, [(1, {})], TypeError, "'int'" + NOT_A + "'str'"),
    ({}, [(b"a", {})], TypeError, "'bytes'" + NOT_A + "'str'"),
    ({}, [(None, {})], TypeError, "'None' is not an instance of 'str'"),
    ({}, [("a", [("k", 1)])], TypeError, "'list'" + NOT_A + "'dict'"),
    ({}, [("a", None)], TypeError, "'None' is not an instance of 'dict'"),
    ({}, [("a", collections.OrderedDict(k=1)), ("b", collections.Counter())], None, None),
    ({"tags": ["a"]}, [("a", {})], ValueError, "feature 'tags' has unsupported type <class 'list'>"),
    ({"b": b"x"}, [("a", {})], ValueError, "feature 'b' has unsupported type <class 'bytes'>"),
    ({"c": 1j}, [("a", {})], ValueError, "feature 'c' has unsupported type <class 'complex'>"),
    ({"t": (1,)}, [("a", {})], ValueError, "feature 't' has unsupported type <class 'tuple'>"),
    ({"d": {}}, [("a", {})], ValueError, "feature 'd' has unsupported type <class 'dict'>"),
    ({"f": Foo()}, [("a", {})], ValueError, f"feature 'f' has unsupported type {Foo!s}"),
    ({"é=|": Foo}, [("a", {})], ValueError, "feature 'é=|' has unsupported type <class 'type'>"),
    ({1: "x"}, [("a", {})], ValueError, "feature names must be strings"),
    ({1: [2]}, [("a", {})], ValueError, "feature names must be strings"),
    ({None: 1}, [("a", {})], ValueError, "feature names must be strings"),
    ({"\ud800": 1}, [("a", {})], ValueError, "feature names must be strings"),
    ({"n": 10**400}, [("a", {})], OverflowError, None),
    ({"t": "\udfff"}, [("a", {})], UnicodeEncodeError, None),
    ({}, [("\ud800", {})], UnicodeEncodeError, None),
    ({}, [("a", {"x": [1]})], ValueError, "feature 'x' has unsupported type <class 'list'>"),
    ({}, [("a", {2: 1})], ValueError, "feature names must be strings"),
    ({}, [("a", {"t": "\ud800"})], UnicodeEncodeError, None),
    ({}, [("a", {"n": -(10**400)})], OverflowError, None),
    ({}, FailingItem([("a", {}), ("b", {})]), KeyError, None),
]


@pytest.mark.parametrize("context, candidates, exc_type, message", BAD_INPUTS)
def test_each_bad_input_raises_its_own_error_and_calls_nothing(context, candidates, exc_type, message):
    s = sorvane.create(8, 1.0)
    before = sorvane.serialize(s)
    called = []
    score = lambda c, k: called.append("score") or [0.0] * 2  # noqa: E731
    if exc_type is None:
        assert sorvane.decide(s, context, candidates, 0.0, "s", score=score).decision_id == "s:0"
        return
    with pytest.raises(exc_type) as info:
        sorvane.decide(s, context, candidates, 0.0, "s", score=score)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None
    assert called == []
    assert sorvane.serialize(s) == before
    assert sorvane.decide(s, {}, [("a", {})], 0.0, "s").decision_id == "s:0"


@pytest.mark.parametrize(
    "context, candidates, message",
    [
        # A bad candidate element before a bad context value.
        ({"k": [1]}, [("a", {}), "b"], "'str'" + NOT_A + "'tuple'"),
        # A bad context value before a bad candidate feature.
        ({"k": [1]}, [("a", {"j": [2]})], "feature 'k' has unsupported type <class 'list'>"),
        # Candidates in order; within a dict, iteration order.
        ({}, [("a", {"p": 1, "q": [1], "r": {}}), ("b", {"s": ()})], "feature 'q' has unsupported type <class 'list'>"),
        ({"z": [1], "a": {}}, [("a", {})], "feature 'z' has unsupported type <class 'list'>"),
        # The key is tested before the value.
        ({"ok": 1, 3: [1]}, [("a", {})], "feature names must be strings"),
        # Element checks stop at the first bad element.
        ({}, [("a", {}), ("b", [1]), (1, {})], "'list'" + NOT_A + "'dict'"),
        ({}, [("a", {}), (1, [1])], "'int'" + NOT_A + "'str'"),
        # The shape of an element before anything inside it.
        ({}, [(1, [1], 2)], "expected tuple of length 2, but got tuple of length 3"),
    ],
)
def test_the_first_bad_input_in_reading_order_is_reported(context, candidates, message):
    with pytest.raises((TypeError, ValueError)) as info:
        decide(context, candidates)
    assert str(info.value) == message


def test_argument_conversion_errors_come_before_reading_the_candidates():
    with pytest.raises(TypeError) as info:
        sorvane.decide(STATE, {}, "ab", "soon", "s")
    assert info.value.__notes__ == ["while processing 't'"]


@pytest.mark.parametrize("tap", ["score", "explore"])
def test_none_for_a_callable_means_the_built_in_step(tap):
    with_none = sorvane.decide(sorvane.create(12, 1.0, epsilon=0.5), {"u": 1}, [("a", {}), ("b", {})], 0.0, "s",
                               **{tap: None})
    without = sorvane.decide(sorvane.create(12, 1.0, epsilon=0.5), {"u": 1}, [("a", {}), ("b", {})], 0.0, "s")
    assert (with_none.chosen, with_none.propensity, with_none.features) == (without.chosen, without.propensity,
                                                                            without.features)


def test_changing_the_inputs_later_changes_the_records_view_but_not_its_values():
    context, candidates = {"u": "v"}, [("a", {"k": 1})]
    record = decide(context, candidates)
    features = record.features
    context["u"] = "w"
    candidates.append(("b", {}))
    assert record.context == {"u": "w"} and len(record.candidates) == 2
    assert record.features == features


def _first_and_second_decide(count):
    """Seconds taken by the first and the second decide on a new thread over
    `count` candidates: the first finds the thread's input buffers empty."""
    import threading
    import time

    state = sorvane.create(12, 1.0)
    candidates = [(f"c{k}", {"price": float(k), "tag": "x"}) for k in range(count)]
    took = []

    def run():
        for _ in range(2):
            start = time.perf_counter()
            sorvane.decide(state, {"user": "u"}, candidates, 0.0, "s")
            took.append(time.perf_counter() - start)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    return took


def test_the_first_decide_of_a_thread_over_many_candidates_is_not_quadratic():
    # Growing the buffers by exactly one candidate's features at a time made
    # the first call copy them all once per candidate.
    first, second = _first_and_second_decide(25_000)
    assert first < 4 * second + 0.5, (first, second)
