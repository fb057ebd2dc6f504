// The engine's whole public surface: one state record and seven operations.
// The engine has no clock, no random source and no I/O; every result is a
// deterministic function of the state and the arguments, to the last bit.
//
// Operations return a value or an EngineError with a fixed message. Only
// std::bad_alloc escapes, when memory runs out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decide.hpp"
#include "error.hpp"
#include "hashing.hpp"
#include "ledger.hpp"
#include "model.hpp"
#include "state.hpp"
#include "types.hpp"

namespace sorvane {

struct BanditState {
  LinearModel model;
  uint64_t decision_count = 0;
  uint64_t model_version = 0;
  double horizon = 1.0;
  double default_reward = 0.0;
  double epsilon = 0.0;
  Ledger ledger;
  // Not part of the state's value: buffers a decision reuses.
  DecideScratch scratch;

  BanditState(LinearModel m) : model(std::move(m)) {}
  BanditState(const BanditState&) = delete;
  BanditState& operator=(const BanditState&) = delete;
  BanditState(BanditState&&) = default;
  BanditState& operator=(BanditState&&) = default;
};

inline constexpr const char* kHorizonMessage = "horizon must be positive";
inline bool horizon_valid(double h) { return h > 0.0; }
inline bool epsilon_valid(double e) { return e >= 0.0 && e <= 1.0; }

// Checks bits, horizon, epsilon, then forgetfulness, in that order.
Result<BanditState> create(uint32_t bits, double horizon, double default_reward, double epsilon,
                           double forgetfulness);

// The bits of a state whose dimension is 2**bits with bits in 1..24.
Result<uint32_t> model_bits(const BanditState& state);

// Hashes the inputs and runs the policy; a failure changes nothing.
Result<DecisionRecord> decide(BanditState& state, std::span<const NamedFeature> context,
                              std::span<const Candidate> candidates, double t,
                              std::string_view salt, ScoreTap* score, ExploreTap* explore);

Result<std::optional<Resolution>> learn(BanditState& state, std::string_view decision_id,
                                        double reward, double t, TrainTap* train);

Result<std::vector<Resolution>> expire(BanditState& state, double t, TrainTap* train);

// The snapshot as lowercase hexadecimal text; never fails.
std::string serialize(const BanditState& state);
// The same text handed over in pieces (TextSink, state.hpp).
void serialize(const BanditState& state, TextSink& out);

// Hexadecimal text (either case) to a new state, or the first failing check.
Result<BanditState> deserialize(std::string_view text);

}  // namespace sorvane
