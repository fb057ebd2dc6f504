"""estimates(): what the next decide would see, read without deciding."""
import pytest
from logs import write_run

import sorvane
from sorvane_cli import estimates
from sorvane_cli.policy import builtin_probabilities
from sorvane_cli.log.state_contents import StateContents
from sorvane_cli.term_pairs import PairHasher

CONTEXT = {"city": "Lima", "hour": 9, "member": True}
CANDIDATES = [(f"item{k}", {"price": 1.5 + k, "tag": "new" if k % 2 else "old"}) for k in range(4)]


@pytest.fixture
def state(tmp_path):
    return write_run(tmp_path / "run.log", decisions=60)


def next_decision(state, score=None):
    """The estimates and probabilities decide itself works with, seen by an explore that keeps them."""
    seen = []

    def explore(values, epsilon):
        seen.append(list(values))
        return builtin_probabilities(list(values), epsilon)

    record = sorvane.decide(state, CONTEXT, CANDIDATES, 100.0, "next", score=score, explore=explore)
    return seen[0], record


@pytest.mark.parametrize("score", [None, lambda context, candidates: [len(c[0]) + c[1]["price"] for c in candidates]])
def test_estimates_are_those_the_next_decide_uses_and_the_state_is_untouched(state, score):
    before = sorvane.serialize(state)
    scored = estimates(state, CONTEXT, CANDIDATES, score=score)
    assert sorvane.serialize(state) == before
    used, record = next_decision(state, score)
    assert scored.estimates == used
    assert scored.probabilities == builtin_probabilities(used, scored.epsilon)
    assert scored.probabilities[record.chosen] == record.propensity


def test_model_estimates_are_the_model_s_weights_over_the_hashed_vectors(state):
    contents = StateContents(sorvane.serialize(state))
    hasher = PairHasher(sorvane.model_bits(state))
    expected = [contents.estimate(hasher.vector(CONTEXT, cid, features)) for cid, features in CANDIDATES]
    assert estimates(state, CONTEXT, CANDIDATES).estimates == expected


@pytest.mark.parametrize("candidates, score, error", [
    ([], None, "need at least one candidate"),
    ("ab", None, "Can't extract `str` to `Vec`"),
    (CANDIDATES, lambda context, candidates: [1.0], "score must return one finite estimate per candidate"),
    (CANDIDATES, lambda context, candidates: 1 / 0, "division by zero"),
])
def test_what_decide_refuses_is_refused_alike_and_changes_nothing(state, candidates, score, error):
    before = sorvane.serialize(state)
    with pytest.raises(Exception, match=error.replace("`", ".").replace("(", ".")):
        estimates(state, CONTEXT, candidates, score=score)
    assert sorvane.serialize(state) == before


def test_a_slate_is_ranked_best_first_with_ties_in_candidate_order():
    state = sorvane.create(8, horizon=5.0)
    scored = estimates(state, {}, CANDIDATES, score=lambda context, candidates: [0.2, 0.9, 0.2, 0.9])
    order = sorted(range(len(CANDIDATES)), key=lambda i: scored.estimates[i], reverse=True)
    assert order[:3] == [1, 3, 0]
    assert scored.probabilities == [0.0125, 0.4875, 0.0125, 0.4875]


def test_the_readme_s_slate_example_runs_as_written():
    from test_readme import blocks
    namespace = {}
    exec(compile(blocks("python")[1], "README slate", "exec"), namespace)
    assert namespace["slate"] == ["tea", "juice"]
