// The engine's public surface: the state, the seven operations, the buffers
// a decision reuses, the interfaces a host plugs into the operations (taps,
// a text sink), the shared values and the fixed error texts. A host
// includes this header and nothing else; it declares, and pulls in, neither
// hashing nor the model's arithmetic. Candidates hashed ahead of their
// decision, for a host that replays a log on several threads, are in
// hashed_decide.hpp.
//
// The engine has no clock, no random source and no I/O; every result is a
// deterministic function of the state and the arguments, to the last bit.
// Operations return a value or an EngineError with a fixed message
// (messages.hpp). Only std::bad_alloc escapes, when memory runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// The buffers a decision fills (the hashed vectors, the estimates, the
// probabilities), kept between decisions so that a decision allocates
// nothing per pair once they have grown. Not part of any state's value: the
// host keeps one beside each state it decides on, or one per thread, and
// never looks inside. Made empty without allocating; the first decision
// fills it. One decision at a time may use it. Movable, not copyable.
class DecideScratch {
 public:
  DecideScratch() noexcept;
  ~DecideScratch();
  DecideScratch(DecideScratch&&) noexcept;
  DecideScratch& operator=(DecideScratch&&) noexcept;
  DecideScratch(const DecideScratch&) = delete;
  DecideScratch& operator=(const DecideScratch&) = delete;

  // The buffers themselves, made on first use; only the engine's own files
  // see their fields (decide.hpp).
  struct Buffers;
  Buffers& buffers();

 private:
  std::unique_ptr<Buffers> buffers_;
};

// Hashes the inputs and runs the policy, with the buffers in `scratch`
// (decide.cpp); a failure changes nothing in the state. Without a score tap
// the model estimates. Costs one pass over the context per candidate term
// text not seen before in this decision, one per (context term, candidate
// term) pair, and one model read per pair.
Result<DecisionRecord> decide(BanditState& state, DecideScratch& scratch,
                              std::span<const NamedFeature> context,
                              std::span<const Candidate> candidates, double t,
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
