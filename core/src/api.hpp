// The engine's whole public surface: the state, the seven operations, the
// interfaces a host plugs into them (taps, a text sink), the shared values
// and the fixed error texts. A host includes this header and nothing else.
//
// The engine has no clock, no random source and no I/O; every result is a
// deterministic function of the state and the arguments, to the last bit.
// Operations return a value or an EngineError with a fixed message
// (messages.hpp). Only std::bad_alloc escapes, when memory runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bandit_state.hpp"
#include "error.hpp"
#include "messages.hpp"
#include "types.hpp"
#include "utf8.hpp"

namespace sorvane {

// Replaces the model's estimates: one value per candidate, in order.
class ScoreTap {
 public:
  virtual Status score(const CandidateVectors& vectors, std::vector<double>& estimates) = 0;

 protected:
  ~ScoreTap() = default;
};

// Replaces epsilon-greedy: one probability per candidate, in order.
class ExploreTap {
 public:
  virtual Status explore(std::span<const double> estimates, double epsilon,
                         std::vector<double>& probabilities) = 0;

 protected:
  ~ExploreTap() = default;
};

// Replaces the built-in model update when a record is resolved. It gets the
// record just removed from the ledger; a failure becomes the operation's.
class TrainTap {
 public:
  virtual Status train(const DecisionRecord& record, double reward) = 0;

 protected:
  ~TrainTap() = default;
};

// Receives serialize's text in consecutive pieces.
class TextSink {
 public:
  virtual void write(std::string_view piece) = 0;

 protected:
  ~TextSink() = default;
};

// Pieces are at most this many characters: small enough to stay in cache,
// large enough that handing one over costs nothing next to writing it.
inline constexpr size_t kTextPiece = size_t{1} << 19;

// Checks bits, horizon, epsilon, then forgetfulness, in that order.
Result<BanditState> create(uint32_t bits, double horizon, double default_reward, double epsilon,
                           double forgetfulness);

// The bits of a state whose dimension is 2**bits with bits in 1..24.
Result<uint32_t> model_bits(const BanditState& state);

// Hashes the inputs and runs the policy (decide.cpp); a failure changes
// nothing. Without a score tap the model estimates.
Result<DecisionRecord> decide(BanditState& state, std::span<const NamedFeature> context,
                              std::span<const Candidate> candidates, double t,
                              std::string_view salt, ScoreTap* score, ExploreTap* explore);

// A decision's candidates hashed ahead of the decision: their vectors at
// `bits`, exactly as decide makes them, and their fingerprint once
// fingerprint_hashed has made it. Hashing reads no state, so threads may
// hash different decisions at once, each with a hasher of its own; only
// decide_hashed, on the state, must follow the log's order.
struct HashedCandidates {
  uint32_t bits = 0;
  CandidateVectors vectors;
  std::optional<uint64_t> fingerprint;
};

// Hashes the candidates against the context at bits (1..24, else the bits
// error) into `out`, reusing its buffers, and clears its fingerprint
// (decide.cpp).
Status hash_candidates(FeatureHasher& hasher, uint32_t bits, std::span<const NamedFeature> context,
                       std::span<const Candidate> candidates, HashedCandidates& out);

// Makes the fingerprint of each, several side by side (fingerprint.hpp
// says why that pays) (decide.cpp).
void fingerprint_hashed(std::span<HashedCandidates* const> hashed);

// decide on the inputs `hashed` was made from: the same checks, record and
// commit, without hashing again; a fingerprint not made yet is made here.
// Candidates hashed at other bits than the state's are refused (decide.cpp).
Result<DecisionRecord> decide_hashed(BanditState& state, const HashedCandidates& hashed, double t,
                                     std::string_view salt, ScoreTap* score, ExploreTap* explore);

// The first pending record with this id, resolved; nothing when none is
// pending; or the tap's failure, after the resolution has committed
// (ledger.cpp).
Result<std::optional<Resolution>> learn(BanditState& state, std::string_view decision_id,
                                        double reward, double t, TrainTap* train);

// Every record due at t, resolved as expired, in ledger order (ledger.cpp).
Result<std::vector<Resolution>> expire(BanditState& state, double t, TrainTap* train);

// The snapshot as lowercase hexadecimal text; never fails (snapshot.cpp).
std::string serialize(const BanditState& state);
// The same text in pieces of at most kTextPiece characters, for a caller
// that copies it elsewhere and should not hold it twice.
void serialize(const BanditState& state, TextSink& out);

// Hexadecimal text (either case) to a new state, or the first failing check
// (snapshot.cpp). Never allocates from a stored count before the data it
// counts is present, so what it allocates is bounded by the text's size.
Result<BanditState> deserialize(std::string_view text);

}  // namespace sorvane
