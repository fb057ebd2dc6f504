#include "api.hpp"

#include <bit>

#include "state.hpp"

namespace sorvane {

Result<BanditState> create(uint32_t bits, double horizon, double default_reward, double epsilon,
                           double forgetfulness) {
  if (!bits_valid(bits)) return fail(kBitsMessage);
  if (!horizon_valid(horizon)) return fail(kHorizonMessage);
  if (!epsilon_valid(epsilon)) return fail(kEpsilonMessage);
  Result<LinearModel> model = LinearModel::build(uint64_t{1} << bits, forgetfulness, 1.0);
  if (!model.ok()) return std::move(model.error());
  BanditState state(std::move(model.value()));
  state.horizon = horizon;
  state.default_reward = default_reward;
  state.epsilon = epsilon;
  return state;
}

Result<uint32_t> model_bits(const BanditState& state) {
  const uint64_t dim = state.model.dim();
  if (std::popcount(dim) == 1) {
    const auto bits = static_cast<uint32_t>(std::countr_zero(dim));
    if (bits_valid(bits)) return bits;
  }
  return fail(
      "model dimension is not 2**bits for bits in [1, 24]; the state was not built by create()");
}

Result<DecisionRecord> decide(BanditState& state, std::span<const NamedFeature> context,
                              std::span<const Candidate> candidates, double t,
                              std::string_view salt, ScoreTap* score, ExploreTap* explore) {
  return decide_policy(state, context, candidates, t, salt, score, explore);
}

Result<std::optional<Resolution>> learn(BanditState& state, std::string_view decision_id,
                                        double reward, double t, TrainTap* train) {
  return ledger_learn(state, decision_id, reward, t, train);
}

Result<std::vector<Resolution>> expire(BanditState& state, double t, TrainTap* train) {
  return ledger_expire(state, t, train);
}

std::string serialize(const BanditState& state) { return snapshot_hex(state); }

void serialize(const BanditState& state, TextSink& out) { snapshot_hex(state, out); }

Result<BanditState> deserialize(std::string_view text) { return state_from_hex(text); }

}  // namespace sorvane
