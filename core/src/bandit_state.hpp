// BanditState: the engine's whole state, the value every facade operation
// works on. Its fields, in this order, are the snapshot's.
#pragma once

#include <cstdint>
#include <utility>

#include "decide.hpp"
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
  // Not part of the state's value: buffers a decision reuses.
  DecideScratch scratch;

  explicit BanditState(LinearModel m) : model(std::move(m)) {}
  BanditState(const BanditState&) = delete;
  BanditState& operator=(const BanditState&) = delete;
  BanditState(BanditState&&) = default;
  BanditState& operator=(BanditState&&) = default;
};

}  // namespace sorvane
