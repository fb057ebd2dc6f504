# Types of the sorvane extension module, for editors and type checkers.
#
# Numbers are taken the way the module converts them: `bits` through
# __index__, every real number through __float__ or __index__ (a str is
# refused). A context is a dict of feature name to str, int, float, bool or
# None; candidates are a sequence of (identifier, features) tuples. A `score`
# callback receives the caller's own context and candidates objects, so its
# second parameter is whatever sequence the caller passed.

from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, final

_Real: TypeAlias = SupportsFloat | SupportsIndex
_Features: TypeAlias = dict[str, Any]

@final
class BanditState:
    """The bandit's state: an opaque handle. Treat it linearly — always rebind
    the returned state — and persist it with serialize/deserialize."""

@final
class DecisionRecord:
    """One decision, self-contained: what was chosen, with what probability,
    under which id — everything outcome reporting and offline evaluation
    need. Records returned by `decide` additionally carry the inputs the
    decision was made over (`bits`, `context`, `candidates` — the
    caller's own objects), so they log as-is via `log_line`; records that
    crossed the state boundary (a `train` callback's) carry None there —
    the ledger keeps only the compact record."""

    @property
    def decision_id(self) -> str: ...
    @property
    def t(self) -> float: ...
    @property
    def candidate_hash(self) -> int: ...
    @property
    def chosen(self) -> int: ...
    @property
    def features(self) -> list[tuple[int, float]]: ...
    @property
    def propensity(self) -> float: ...
    @property
    def model_version(self) -> int: ...
    @property
    def salt(self) -> str: ...
    @property
    def bits(self) -> int | None: ...
    @property
    def context(self) -> Any: ...
    @property
    def candidates(self) -> Any: ...

@final
class Resolution:
    """One resolution event: how a decision left the ledger. `reward` is what
    the model trained with."""

    @property
    def decision_id(self) -> str: ...
    @property
    def kind(self) -> Literal["rewarded", "expired"]: ...
    @property
    def reward(self) -> float | None: ...

def create(
    bits: SupportsIndex,
    horizon: _Real,
    default_reward: _Real = 0.0,
    epsilon: _Real = ...,
    forgetfulness: _Real = ...,
) -> BanditState: ...
def decide(
    state: BanditState,
    context: _Features,
    candidates: Sequence[tuple[str, _Features]],
    t: _Real,
    salt: str,
    score: Callable[[_Features, Any], Sequence[float]] | None = None,
    explore: Callable[[list[float], float], Sequence[float]] | None = None,
) -> DecisionRecord: ...
def learn(
    state: BanditState,
    decision_id: str,
    reward: _Real,
    t: _Real,
    train: Callable[[DecisionRecord, float], object] | None = None,
) -> Resolution | None:
    """The resolution, or None if the id is unknown or already resolved.
    The engine classifies against the horizon at time `t`: a reward
    arriving at or past the record's `t + horizon` resolves as expired
    with the default reward. `train` is the BYO training tap: it replaces
    the built-in update and fires after the resolution commits, exactly
    once, with the classified reward."""

def expire(
    state: BanditState,
    t: _Real,
    train: Callable[[DecisionRecord, float], object] | None = None,
) -> tuple[Resolution, ...]:
    """Every decision past its horizon at time `t`, resolved as expired, in
    ledger order. `train` as on `learn`, fired per due record."""

def serialize(state: BanditState) -> str:
    """The current state as one plain hex string — storable anywhere text
    goes, with no byte handling on the caller's side."""

def deserialize(data: str) -> BanditState: ...
def model_bits(state: BanditState) -> int: ...
def log_line(item: DecisionRecord | Resolution) -> str:
    """One canonical experience-log line for a decision record
    or resolution — append it to your log verbatim; it is exactly what
    the `sorvane` CLI's verify/eval/replay consume. Decision records must
    be the ones `decide` returned (they carry the inputs; a `train`
    callback's record does not — its inputs are already in your log)."""
