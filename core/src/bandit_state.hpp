// BanditState: the engine's whole state, the value every facade operation
// works on. Its fields, in this order, are the snapshot's; nothing else is
// in it, so that a copy of these fields is a copy of the state's value.
#pragma once

#include <cstdint>
#include <utility>

#include "ledger.hpp"
#include "model.hpp"

namespace sorvane {

struct BanditState {
  LinearModel model;
  uint64_t decision_count = 0;
  uint64_t model_version = 0;
  double horizon = 1.0;
  double default_reward = 0.0;
  double epsilon = 0.0;
  Ledger ledger;

  explicit BanditState(LinearModel m) : model(std::move(m)) {}
  BanditState(const BanditState&) = delete;
  BanditState& operator=(const BanditState&) = delete;
  BanditState(BanditState&&) = default;
  BanditState& operator=(BanditState&&) = default;
};

}  // namespace sorvane
