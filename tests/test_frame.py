"""The module's frame: its contents, argument binding and conversion,
create and model_bits, and the BanditState class."""
import gc
import math
import shutil
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

import sorvane
from conftest import SANITIZED, rss_kib, skip_when_sanitized
from sorvane_cli.log.snapshot import scalar_fields as snapshot_fields

FUNCTIONS = ["create", "decide", "learn", "expire", "serialize", "deserialize", "model_bits", "log_line"]


def test_module_holds_exactly_its_classes_and_functions_in_order():
    names = [n for n in vars(sorvane) if not n.startswith("__")]
    assert names == ["BanditState", "DecisionRecord", "Resolution"] + FUNCTIONS
    assert sorvane.__doc__ == ""
    assert not hasattr(sorvane, "PanicException")


def test_module_is_a_stable_abi_build():
    assert sorvane.__file__.endswith(".abi3.so")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_module_exports_only_its_init_function():
    out = subprocess.run(["nm", "-D", "--defined-only", sorvane.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_sorvane"]


SIGNATURES = {
    "create": "(bits, horizon, default_reward=0.0, epsilon=..., forgetfulness=...)",
    "decide": "(state, context, candidates, t, salt, score=None, explore=None)",
    "learn": "(state, decision_id, reward, t, train=None)",
    "expire": "(state, t, train=None)",
    "serialize": "(state)",
    "deserialize": "(data)",
    "model_bits": "(state)",
    "log_line": "(item)",
}

DOCS = {
    "create": None,
    "decide": None,
    "deserialize": None,
    "model_bits": None,
    "learn": "The resolution, or None if the id is unknown or already resolved.\n"
    "The engine classifies against the horizon at time `t`: a reward\n"
    "arriving at or past the record's `t + horizon` resolves as expired\n"
    "with the default reward. `train` is the BYO training tap: it replaces\n"
    "the built-in update and fires after the resolution commits, exactly\n"
    "once, with the classified reward.",
    "expire": "Every decision past its horizon at time `t`, resolved as expired, in\n"
    "ledger order. `train` as on `learn`, fired per due record.",
    "serialize": "The current state as one plain hex string \u2014 storable anywhere text\n"
    "goes, with no byte handling on the caller's side.",
    "log_line": "One canonical experience-log line for a decision record\n"
    "or resolution \u2014 append it to your log verbatim; it is exactly what\n"
    "the `sorvane` CLI's verify/eval/replay consume. Decision records must\n"
    "be the ones `decide` returned (they carry the inputs; a `train`\n"
    "callback's record does not \u2014 its inputs are already in your log).",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature_doc_and_owner(name):
    fn = getattr(sorvane, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert fn.__doc__ == DOCS[name]
    assert fn.__self__ is sorvane
    assert fn.__module__ == "sorvane"
    assert fn.__name__ == name


def test_create_defaults_reach_the_state():
    fields = snapshot_fields(sorvane.serialize(sorvane.create(10, 5.0)))
    assert (fields["default_reward"], fields["epsilon"], fields["forgetting"]) == (0.0, 0.05, 0.999)
    assert (fields["ridge"], fields["scale"], fields["dim"]) == (1.0, 1.0, 1024)
    assert (fields["decision_count"], fields["model_version"], fields["records"]) == (0, 0, 0)


def test_create_accepts_keywords_for_every_parameter():
    s = sorvane.create(bits=10, horizon=5.0, epsilon=0.1, default_reward=-1.0, forgetfulness=1.0)
    fields = snapshot_fields(sorvane.serialize(s))
    assert (fields["epsilon"], fields["default_reward"], fields["forgetting"]) == (0.1, -1.0, 1.0)


@pytest.mark.parametrize("bits", [1, 12, 24, True])
def test_model_bits_reads_back_create(bits):
    assert sorvane.model_bits(sorvane.create(bits, 1.0)) == int(bits)


class Indexable:
    def __index__(self):
        return 7


def test_create_takes_bits_from_index_and_horizon_from_int():
    assert sorvane.model_bits(sorvane.create(Indexable(), 3)) == 7


NAN = float("nan")


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 1.0), "bits must be between 1 and 24"),
        ((25, 1.0), "bits must be between 1 and 24"),
        ((30, 1.0), "bits must be between 1 and 24"),
        ((0, -1.0), "bits must be between 1 and 24"),
        ((8, 0.0, 0.0, 2.0), "horizon must be positive"),
        ((8, NAN), "horizon must be positive"),
        ((8, -5.0), "horizon must be positive"),
        ((8, 1.0, 0.0, NAN), "epsilon must be in [0, 1]"),
        ((8, 1.0, 0.0, -0.01), "epsilon must be in [0, 1]"),
        ((8, 1.0, 0.0, 1.5), "epsilon must be in [0, 1]"),
        ((8, 1.0, 0.0, 0.5, NAN), "forgetting must be in (0, 1] (1.0 = never forget)"),
        ((8, 1.0, 0.0, 0.5, 0.0), "forgetting must be in (0, 1] (1.0 = never forget)"),
        ((8, 1.0, 0.0, 0.5, 1.0000001), "forgetting must be in (0, 1] (1.0 = never forget)"),
    ],
)
def test_create_reports_its_first_failing_check(args, message):
    with pytest.raises(ValueError) as info:
        sorvane.create(*args)
    assert info.value.args == (message,)


@pytest.mark.parametrize("args", [(8, 1.0, 0.0, 0.0), (8, 1.0, 0.0, 1.0), (8, 1.0, 0.0, 0.5, 1.0)])
def test_create_accepts_range_edges(args):
    bits, horizon, default_reward, epsilon, *forgetfulness = args
    fields = snapshot_fields(sorvane.serialize(sorvane.create(*args)))
    assert (fields["dim"], fields["horizon"], fields["default_reward"], fields["epsilon"]) == (
        1 << bits, horizon, default_reward, epsilon)
    assert fields["forgetting"] == (forgetfulness[0] if forgetfulness else 0.999)


def test_create_stores_nan_default_reward_as_is():
    assert math.isnan(snapshot_fields(sorvane.serialize(sorvane.create(8, 1.0, NAN)))["default_reward"])


def raises_with(exc_type, message, call, note=None):
    with pytest.raises(exc_type) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)
    return info.value


STATE = sorvane.create(4, 1.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sorvane.create(8), "create() missing 1 required positional argument: 'horizon'"),
        (lambda: sorvane.create(), "create() missing 2 required positional arguments: 'bits' and 'horizon'"),
        (
            lambda: sorvane.decide(STATE),
            "decide() missing 4 required positional arguments: 'context', 'candidates', 't', and 'salt'",
        ),
        (lambda: sorvane.learn(STATE, "x", t=1.0), "learn() missing 1 required positional argument: 'reward'"),
        (lambda: sorvane.serialize(STATE, 1), "serialize() takes 1 positional arguments but 2 were given"),
        (lambda: sorvane.model_bits(), "model_bits() missing 1 required positional argument: 'state'"),
        (lambda: sorvane.log_line(1, 2, 3), "log_line() takes 1 positional arguments but 3 were given"),
        (
            lambda: sorvane.create(1, 2, 3, 4, 5, 6),
            "create() takes from 2 to 5 positional arguments but 6 were given",
        ),
        (lambda: sorvane.expire(STATE, 1, None, 4), "expire() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: sorvane.create(8, 1.0, bits=8), "create() got multiple values for argument 'bits'"),
        (lambda: sorvane.create(8, 1.0, alpha=1), "create() got an unexpected keyword argument 'alpha'"),
        (lambda: sorvane.deserialize(data="", state=1), "deserialize() got an unexpected keyword argument 'state'"),
        (lambda: sorvane.model_bits(STATE, state=STATE), "model_bits() got multiple values for argument 'state'"),
    ],
)
def test_binding_errors_use_the_interpreters_wording(call, message):
    raises_with(TypeError, message, call)


def test_positional_overflow_is_reported_before_keyword_errors():
    raises_with(
        TypeError,
        "create() takes from 2 to 5 positional arguments but 6 were given",
        lambda: sorvane.create(1, 2, 3, 4, 5, 6, alpha=1),
    )


@pytest.mark.parametrize(
    "call, exc_type, message, note",
    [
        (lambda: sorvane.create(10.0, 1.0), TypeError, None, "while processing 'bits'"),
        (lambda: sorvane.create("8", 1.0), TypeError, None, "while processing 'bits'"),
        (
            lambda: sorvane.create(2**32, 1.0),
            OverflowError,
            "out of range integral type conversion attempted",
            "while processing 'bits'",
        ),
        (lambda: sorvane.create(-1, 1.0), OverflowError, None, "while processing 'bits'"),
        (lambda: sorvane.create(2**64, 1.0), OverflowError, None, "while processing 'bits'"),
        (lambda: sorvane.create(8, "3"), TypeError, None, "while processing 'horizon'"),
        (lambda: sorvane.create(8, 1.0, 10**400), OverflowError, None, "while processing 'default_reward'"),
        (lambda: sorvane.create(8, 1.0, epsilon=[]), TypeError, None, "while processing 'epsilon'"),
        (lambda: sorvane.create(8, 1.0, forgetfulness=None), TypeError, None, "while processing 'forgetfulness'"),
        (
            lambda: sorvane.learn(STATE, 42, 1.0, 0.0),
            TypeError,
            "'int' object is not an instance of 'str'",
            "while processing 'decision_id'",
        ),
        (
            lambda: sorvane.learn(STATE, None, 1.0, 0.0),
            TypeError,
            "'None' is not an instance of 'str'",
            "while processing 'decision_id'",
        ),
        (
            lambda: sorvane.learn(STATE, "\ud800", 1.0, 0.0),
            UnicodeEncodeError,
            None,
            "while processing 'decision_id'",
        ),
        (
            lambda: sorvane.decide(STATE, [], [], 0.0, "a"),
            TypeError,
            "'list' object is not an instance of 'dict'",
            "while processing 'context'",
        ),
        (
            lambda: sorvane.decide(STATE, None, [], 0.0, "a"),
            TypeError,
            "'None' is not an instance of 'dict'",
            "while processing 'context'",
        ),
        (
            lambda: sorvane.deserialize(b"00"),
            TypeError,
            "'bytes' object is not an instance of 'str'",
            "while processing 'data'",
        ),
        (
            lambda: sorvane.model_bits({}),
            TypeError,
            "'dict' object is not an instance of 'BanditState'",
            "while processing 'state'",
        ),
        (
            lambda: sorvane.decide(None, {}, [], 0.0, "a"),
            TypeError,
            "'None' is not an instance of 'BanditState'",
            "while processing 'state'",
        ),
        (
            lambda: sorvane.serialize(sorvane.BanditState),
            TypeError,
            "'type' object is not an instance of 'BanditState'",
            "while processing 'state'",
        ),
        (lambda: sorvane.expire(STATE, "soon"), TypeError, None, "while processing 't'"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(call, exc_type, message, note):
    raises_with(exc_type, message, call, note)


def test_a_record_is_not_a_state():
    record = sorvane.decide(sorvane.create(4, 1.0), {}, [("a", {})], 0.0, "s")
    raises_with(
        TypeError,
        "'DecisionRecord' object is not an instance of 'BanditState'",
        lambda: sorvane.model_bits(record),
        "while processing 'state'",
    )


def test_qualname_of_a_nested_class_names_the_state_type_error():
    class Outer:
        class Inner:
            pass

    raises_with(
        TypeError,
        "'test_qualname_of_a_nested_class_names_the_state_type_error.<locals>.Outer.Inner' object"
        " is not an instance of 'BanditState'",
        lambda: sorvane.serialize(Outer.Inner()),
        "while processing 'state'",
    )


def test_conversion_stops_at_the_first_bad_argument():
    # bits is converted before horizon, and nothing reaches the engine.
    raises_with(TypeError, None, lambda: sorvane.create(1.5, "x"), "while processing 'bits'")


def test_engine_errors_carry_no_note():
    raises_with(ValueError, "bits must be between 1 and 24", lambda: sorvane.create(0, 1.0))


@pytest.mark.parametrize("cls", ["BanditState", "DecisionRecord", "Resolution"])
def test_classes_cannot_be_built_or_subclassed_from_python(cls):
    klass = getattr(sorvane, cls)
    assert klass.__module__ == "sorvane"
    assert klass.__name__ == klass.__qualname__ == cls
    assert klass.__bases__ == (object,)
    with pytest.raises(TypeError):
        klass()
    with pytest.raises(TypeError):
        klass(1, 2)
    with pytest.raises(TypeError):
        type("Sub", (klass,), {})
    assert not hasattr(klass, "__dict__") or "__dict__" not in klass.__dict__
    assert "__weakref__" not in klass.__dict__


def test_state_has_its_docstring_and_nothing_else():
    s = sorvane.create(4, 1.0)
    assert sorvane.BanditState.__doc__ == (
        "The bandit's state: an opaque handle. Treat it linearly \u2014 always rebind\n"
        "the returned state \u2014 and persist it with serialize/deserialize."
    )
    assert [n for n in sorvane.BanditState.__dict__ if not n.startswith("__")] == []
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(s)
    assert s != sorvane.create(4, 1.0) and s == s  # identity comparison
    assert repr(s).startswith("<sorvane.BanditState object at ")


def test_panic_exception_is_a_base_exception_outside_the_module():
    s = sorvane.create(4, 1.0)
    caught = []

    def score(context, candidates):
        try:
            sorvane.serialize(s)
        except BaseException as e:  # noqa: B036 - the point of the test
            caught.append(e)
        return [0.0]

    sorvane.decide(s, {}, [("a", {})], 0.0, "x", score=score)
    (panic,) = caught
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__mro__[1] is BaseException
    assert not isinstance(panic, Exception)
    assert panic.args == ("Already mutably borrowed: PyBorrowError",)


@skip_when_sanitized
def test_creating_dropping_and_failing_calls_keep_memory_flat():
    def cycle():
        s = sorvane.create(10, 1.0)
        sorvane.model_bits(s)
        for bad in (
            lambda: sorvane.create(0, 1.0),
            lambda: sorvane.create(10.0, 1.0),
            lambda: sorvane.create(8, 1.0, alpha=1),
            lambda: sorvane.create(),
            lambda: sorvane.model_bits(None),
            lambda: sorvane.learn(s, 5, 1.0, 1.0),
        ):
            try:
                bad()
            except (ValueError, TypeError):
                pass

    for _ in range(5_000):
        cycle()
    gc.collect()
    before = rss_kib()
    for _ in range(100_000):
        cycle()
    gc.collect()
    assert rss_kib() - before < 2_000


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=5),
    st.binary(max_size=5),
    st.lists(st.integers(), max_size=2),
)


@settings(max_examples=300 if not SANITIZED else 50, deadline=None)
@given(st.lists(scalars, max_size=7), st.dictionaries(st.sampled_from(["bits", "horizon", "epsilon", "x", "state"]), scalars, max_size=3))
def test_any_arguments_end_in_a_result_or_an_exception(args, kwargs):
    for fn in (sorvane.create, sorvane.model_bits):
        try:
            result = fn(*args, **kwargs)
        except (TypeError, ValueError, OverflowError):
            continue
        if fn is sorvane.create:
            assert 1 <= sorvane.model_bits(result) <= 24
