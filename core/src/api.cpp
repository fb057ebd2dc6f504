// The facade's configuration operations. The others live with their work:
// decide in decide.cpp, learn and expire in ledger.cpp, serialize and
// deserialize in snapshot.cpp.
#include "api.hpp"

#include <bit>

#include "config.hpp"

namespace sorvane {

Result<BanditState> create(uint32_t bits, double horizon, double default_reward, double epsilon,
                           double forgetfulness) {
  if (!bits_valid(bits)) return fail(msg::kBits);
  if (!horizon_valid(horizon)) return fail(msg::kHorizon);
  if (!epsilon_valid(epsilon)) return fail(msg::kEpsilon);
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
  return fail(msg::kNotPowerOfTwo);
}

}  // namespace sorvane
