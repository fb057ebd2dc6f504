"""The joint model through sorvane's taps: the same decisions everywhere, its
text round trip and refusals, its inputs read as decide reads them."""
import hashlib
import math
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sorvane
from sorvane_cli import JointModel

BITS = 12
CANDIDATES = [(f"item-{i}", {"category": ("news", "tech", "food")[i % 3], "price": 1.5 + i}) for i in range(6)]


def contexts(n):
    for k in range(n):
        yield {"device": ("mobile", "desktop")[k % 2], "hour": k % 24, "returning": k % 3 == 0}


def drive(state, model, rounds, salt="s"):
    """Decides and learns `rounds` times; the log lines of what happened."""
    lines = []
    for k, context in enumerate(contexts(rounds)):
        record = sorvane.decide(state, context, CANDIDATES, float(k), salt, score=model.score, explore=model.explore)
        reward = 1.0 if (record.chosen + k) % 4 == 0 else 0.0
        resolution = sorvane.learn(state, record.decision_id, reward, float(k), train=model.train)
        lines += [sorvane.log_line(record), sorvane.log_line(resolution)]
    return lines


@pytest.mark.parametrize("explore", ["epsilon-greedy", "squarecb"])
def test_two_processes_make_the_same_decisions_and_the_same_model(explore):
    program = textwrap.dedent(f"""
        import hashlib, sys
        sys.path.insert(0, {repr(__file__.rsplit('/', 1)[0])})
        import sorvane
        from sorvane_cli import JointModel
        from test_joint_model import drive
        model = JointModel({BITS}, explore={explore!r})
        lines = drive(sorvane.create({BITS}, 100.0), model, 300)
        print(hashlib.sha256(("\\n".join(lines) + model.serialize()).encode()).hexdigest())
    """)
    digests = {subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout
               for _ in range(2)}
    model = JointModel(BITS, explore=explore)
    lines = drive(sorvane.create(BITS, 100.0), model, 300)
    digests.add(hashlib.sha256(("\n".join(lines) + model.serialize()).encode()).hexdigest() + "\n")
    assert len(digests) == 1


def test_a_serialize_round_trip_gives_the_same_text_and_the_same_next_decisions():
    state, model = sorvane.create(BITS, 100.0), JointModel(BITS)
    drive(state, model, 200)
    text = model.serialize()
    copy = JointModel.deserialize(text)
    assert copy.serialize() == text
    assert (copy.bits, copy.learning_rate, copy.explore_rule, copy.updates) == (
        BITS, model.learning_rate, "squarecb", 200)
    state_copy = sorvane.deserialize(sorvane.serialize(state))
    assert drive(state, model, 50, "next") == drive(state_copy, copy, 50, "next")
    assert copy.serialize() == model.serialize()


def damaged(text):
    flipped = text[:200] + ("0" if text[200] != "0" else "1") + text[201:]
    version = text[:16] + "02" + text[18:]
    return {
        "empty": ("", "truncated joint model text"),
        "odd length": (text[:-1], "joint model text must be a hexadecimal string"),
        "not hexadecimal": (text[:-2] + "zz", "joint model text must be a hexadecimal string"),
        "not ascii": (text[:-2] + "\u00e9\u00e9", "joint model text must be a hexadecimal string"),
        "truncated": (text[: len(text) // 2], "truncated joint model text"),
        "header only": (text[:100], "truncated joint model text"),
        "trailing bytes": (text + "00", "trailing bytes in joint model text"),
        "a flipped digit": (flipped, "joint model text checksum mismatch"),
        "another version": (version, "unsupported joint model format version 2"),
        "a sorvane state": (sorvane.serialize(sorvane.create(BITS, 1.0)), "not a joint model text (bad magic)"),
    }


@pytest.mark.parametrize("case", list(damaged("0" * 300)))
def test_damaged_or_foreign_text_is_refused_with_a_clear_error(case):
    model = JointModel(BITS)
    drive(sorvane.create(BITS, 100.0), model, 20)
    text, message = damaged(model.serialize())[case]
    with pytest.raises(ValueError) as refused:
        JointModel.deserialize(text)
    assert str(refused.value) == message


def test_deserialize_takes_only_a_str():
    with pytest.raises(TypeError):
        JointModel.deserialize(b"00")


def test_the_model_vector_of_the_chosen_candidate_is_the_record_features():
    state, model = sorvane.create(BITS, 100.0), JointModel(BITS)
    for k, context in enumerate(contexts(30)):
        record = sorvane.decide(state, context, CANDIDATES, float(k), "s", score=model.score, explore=model.explore)
        assert model.vectors(context, CANDIDATES)[record.chosen] == record.features
        sorvane.learn(state, record.decision_id, 1.0, float(k), train=model.train)


def test_with_epsilon_greedy_the_model_explores_exactly_as_the_engine_does():
    model = JointModel(BITS, explore="epsilon-greedy")
    drive(sorvane.create(BITS, 100.0), model, 50)
    a, b = sorvane.create(BITS, 100.0, epsilon=0.3), sorvane.create(BITS, 100.0, epsilon=0.3)
    for k, context in enumerate(contexts(40)):
        with_tap = sorvane.decide(a, context, CANDIDATES, 0.0, "s", score=model.score, explore=model.explore)
        without = sorvane.decide(b, context, CANDIDATES, 0.0, "s", score=model.score)
        assert sorvane.log_line(with_tap) == sorvane.log_line(without)


@pytest.mark.parametrize("estimates", [[0.1, 0.5, 0.2], [0.3, 0.3], [1.0], [-2.0, 5.0, 5.0, 0.0]])
@pytest.mark.parametrize("updates", [0, 1, 100])
def test_squarecb_probabilities_sum_to_one_and_favour_the_best(estimates, updates):
    model = JointModel(BITS)
    state = sorvane.create(BITS, 100.0)
    drive(state, model, updates)
    p = model.explore(estimates, 0.05)
    assert abs(math.fsum(p) - 1.0) <= 1e-12 and min(p) > 0.0
    best = estimates.index(max(estimates))
    assert p[best] == max(p)
    if updates == 0:  # gamma 0: uniform
        assert all(abs(x - 1.0 / len(p)) < 1e-15 for x in p)


BAD_INPUTS = [
    ({1: "x"}, CANDIDATES),
    ({"tags": ["a"]}, CANDIDATES),
    ({"n": 10**400}, CANDIDATES),
    ([], CANDIDATES),
    (None, CANDIDATES),
    ({}, "ab"),
    ({}, ["a", "b"]),
    ({}, {"a": {}}),
    ({}, (p for p in CANDIDATES)),
    ({}, [("a", {}, 1)]),
    ({}, [("a", [("k", 1)])]),
    ({}, [(1, {})]),
    ({}, []),
    ({"tags": ["a"]}, [("a", {}, 1)]),
]


@pytest.mark.parametrize("context, candidates", BAD_INPUTS)
def test_score_refuses_what_decide_refuses_with_the_same_error(context, candidates):
    with pytest.raises(BaseException) as from_decide:
        sorvane.decide(sorvane.create(BITS, 1.0), context, candidates, 0.0, "s")
    with pytest.raises(BaseException) as from_score:
        JointModel(BITS).score(context, candidates)
    assert type(from_score.value) is type(from_decide.value)
    assert str(from_score.value) == str(from_decide.value)
    assert getattr(from_score.value, "__notes__", None) == getattr(from_decide.value, "__notes__", None)


def test_a_state_of_other_bits_is_refused():
    model = JointModel(BITS)
    model.check_state(sorvane.create(BITS, 1.0))
    with pytest.raises(ValueError, match="the state has 14 bits and the joint model 12"):
        model.check_state(sorvane.create(BITS + 2, 1.0))
    wider = sorvane.create(BITS + 8, 1.0)
    record = sorvane.decide(wider, {"a": "b"}, CANDIDATES, 0.0, "s")
    with pytest.raises(ValueError, match="do not fit this joint model"):
        sorvane.learn(wider, record.decision_id, 1.0, 0.0, train=model.train)
    assert model.updates == 0


@pytest.mark.parametrize("args, kwargs, error", [
    ((0,), {}, ValueError), ((25,), {}, ValueError), (("12",), {}, TypeError), ((True,), {}, TypeError),
    ((12,), {"learning_rate": 0.0}, ValueError), ((12,), {"learning_rate": math.nan}, ValueError),
    ((12,), {"learning_rate": "0.1"}, TypeError), ((12,), {"explore": "greedy"}, ValueError),
    ((12,), {"gamma_scale": -1.0}, ValueError), ((12,), {"initial_accumulator": -1.0}, ValueError),
    ((12, 0.1), {}, TypeError), ((12,), {"rate": 0.1}, TypeError),
])
def test_bad_settings_are_refused(args, kwargs, error):
    with pytest.raises(error):
        JointModel(*args, **kwargs)


@pytest.mark.parametrize("call, error", [
    (lambda m: m.train(None, 1.0), AttributeError),
    (lambda m: m.train(type("R", (), {"features": [(3, 1.0), (2, 1.0)]})(), 1.0), ValueError),
    (lambda m: m.train(type("R", (), {"features": [(1 << 12, 1.0)]})(), 1.0), ValueError),
    (lambda m: m.train(type("R", (), {"features": [(-1, 1.0)]})(), 1.0), ValueError),
    (lambda m: m.train(type("R", (), {"features": [[1, 1.0]]})(), 1.0), ValueError),
    (lambda m: m.train(type("R", (), {"features": [(1, 1.0)]})(), math.inf), ValueError),
    (lambda m: m.train(type("R", (), {"features": [(1, 1.0)]})(), "1"), TypeError),
    (lambda m: m.explore([], 0.1), ValueError),
    (lambda m: m.explore([math.nan], 0.1), ValueError),
    (lambda m: m.explore("12", 0.1), ValueError),
    (lambda m: m.explore([1.0], 2.0), ValueError),
    (lambda m: m.score({}), TypeError),
])
def test_bad_arguments_are_refused_and_leave_the_model_untouched(call, error):
    model = JointModel(BITS)
    before = model.serialize()
    with pytest.raises(error):
        call(model)
    assert model.serialize() == before


def test_train_takes_the_classified_reward_from_expire():
    state, model = sorvane.create(BITS, 10.0, default_reward=-1.0), JointModel(BITS)
    for k in range(3):
        sorvane.decide(state, {"k": k}, CANDIDATES, 0.0, "s", score=model.score)
    sorvane.expire(state, 100.0, train=model.train)
    assert model.updates == 3
    assert all(e < 0.0 for e in model.score({"k": 1}, CANDIDATES))


def test_state_and_model_saved_together_come_back_as_a_pair(tmp_path):
    from sorvane_cli import load_together, save_together

    state, model = sorvane.create(BITS, 100.0), JointModel(BITS)
    drive(state, model, 40)
    save_together(tmp_path / "pair.txt", state, model)
    assert not (tmp_path / "pair.txt.tmp").exists()
    state_back, model_back = load_together(tmp_path / "pair.txt")
    assert (sorvane.serialize(state_back), model_back.serialize()) == (sorvane.serialize(state), model.serialize())
    (tmp_path / "half.txt").write_text((tmp_path / "pair.txt").read_text().split("\n")[0] + "\n")
    with pytest.raises(ValueError, match="does not hold a state and a joint model"):
        load_together(tmp_path / "half.txt")
    with pytest.raises(ValueError, match="must be the same"):
        save_together(tmp_path / "other.txt", sorvane.create(BITS + 1, 1.0), model)


class Features:
    """A stand-in for a DecisionRecord: train reads only `features`."""

    def __init__(self, features):
        self.features = features


def weights_of(model):
    """The weights in the model's text: after the 8-byte magic and 7 eight-byte fields."""
    import struct

    raw = bytes.fromhex(model.serialize())
    dim = 1 << model.bits
    return struct.unpack_from(f"<{dim}d", raw, 64)


def test_one_adagrad_step_is_the_stated_arithmetic():
    model = JointModel(4, learning_rate=0.03)
    model.train(Features([(3, 2.0), (9, -0.5)]), 1.0)
    g = 0.0 - 1.0  # the fresh estimate is 0
    expected = {3: 0.0 - (0.03 * (g * 2.0)) / math.sqrt((g * 2.0) ** 2),
                9: 0.0 - (0.03 * (g * -0.5)) / math.sqrt((g * -0.5) ** 2)}
    weights = weights_of(model)
    assert {3: weights[3], 9: weights[9]} == expected
    assert all(w == 0.0 for k, w in enumerate(weights) if k not in expected)
    # The second step starts from the first one's estimate.
    estimate = 0.0 + weights[3] * 2.0 + weights[9] * -0.5
    g2 = estimate - 0.0
    model.train(Features([(3, 2.0), (9, -0.5)]), 0.0)
    squared = (g * 2.0) ** 2 + (g2 * 2.0) ** 2
    assert weights_of(model)[3] == weights[3] - (0.03 * (g2 * 2.0)) / math.sqrt(squared)


@pytest.mark.parametrize("updates", [1, 7, 1000])
def test_squarecb_is_the_stated_arithmetic(updates):
    model = JointModel(4, gamma_scale=3.0)
    for _ in range(updates):
        model.train(Features([(1, 1.0)]), 0.5)
    gamma = 3.0 * math.sqrt(updates)
    other = 1.0 / (2.0 + gamma * (0.5 - 0.2))
    assert model.explore([0.2, 0.5], 0.3) == [other, 1.0 - other]


def test_a_context_changed_while_score_reads_it_raises_the_module_own_panic():
    def changing_context():
        context = {}

        class Growing(int):
            def __float__(self):
                context["grown"] = 1
                return 1.0

        context["a"] = Growing(1)
        return context

    with pytest.raises(BaseException) as from_decide:
        sorvane.decide(sorvane.create(BITS, 1.0), changing_context(), CANDIDATES, 0.0, "s")
    with pytest.raises(BaseException) as from_score:
        JointModel(BITS).score(changing_context(), CANDIDATES)
    assert type(from_decide.value).__name__ == "PanicException"
    assert type(from_score.value) is type(from_decide.value)
    assert str(from_score.value) == str(from_decide.value) == "dictionary changed size during iteration"


@settings(max_examples=200, deadline=None)
@given(cut=st.integers(min_value=0, max_value=200), at=st.integers(min_value=0, max_value=10**6),
       digit=st.sampled_from("0123456789abcdefXg "))
def test_any_damage_to_the_text_is_refused_never_a_crash(cut, at, digit):
    text = _SMALL_TEXT
    at %= len(text)
    damaged = text[:at] + digit + text[at + 1:]
    for candidate in (damaged, text[:len(text) - cut] if cut else text + "0" * 2):
        if candidate == text:
            continue
        with pytest.raises(ValueError):
            JointModel.deserialize(candidate)


_SMALL_TEXT = JointModel(3).serialize()


@pytest.mark.parametrize("updates", [0, 3])
def test_squarecb_over_estimates_whose_gap_overflows_stays_a_distribution(updates):
    model = JointModel(4)
    for _ in range(updates):
        model.train(Features([(1, 1.0)]), 0.5)
    p = model.explore([1e308, -1e308, 0.0], 0.1)
    assert all(math.isfinite(x) and x >= 0.0 for x in p) and abs(math.fsum(p) - 1.0) <= 1e-12
