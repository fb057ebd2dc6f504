// A replay of the experience log through the engine itself: the state the
// log describes, proven line by line. A decision line is replayed as decide
// on its logged inputs and must give its record bit for bit, field by field;
// a rewarded resolution is learned at a NaN time, never past a horizon, an
// expired one at +inf, past every horizon, and each must come out as logged.
//
// Only a log that replays without a single problem is proven here. At the
// first line this replay cannot read, or that disagrees with the engine,
// it declines the whole log: the Python replay then reads it from the
// start and reports every problem in its own words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api.hpp"
#include "log_pass.hpp"

namespace sorvane::toolkit {

struct ReplayConfig {
  double horizon = 1.0;
  double default_reward = 0.0;
  double epsilon = 0.05;
  double forgetfulness = 0.999;
  // A serialized state the log continues from; it carries the rest.
  std::optional<std::string> state_text;
  // Lines whose bits are larger are declined (the fuzzer keeps states small).
  uint32_t max_bits = 24;
};

class LogReplay final : public LogPass {
 public:
  explicit LogReplay(ReplayConfig config, PassOptions options = {});

  uint64_t decisions() const { return decisions_; }
  uint64_t resolutions() const { return resolutions_; }
  uint64_t pending() const { return state_ ? state_->ledger.size() : 0; }
  // The state's bits, or 0 while there is no state.
  uint32_t bits() const { return state_ ? bits_ : 0; }
  // The state's serialize text, or nothing when no line made one.
  std::optional<std::string> state_text() const;

 private:
  void decision(const ReadyDecision& d) override;
  void resolution(const ResolutionLine& r) override;
  bool same_record(const LoggedRecord& logged, const DecisionRecord& replayed);

  ReplayConfig config_;
  std::optional<BanditState> state_;
  DecideScratch scratch_;
  uint32_t bits_ = 0;
  uint64_t decisions_ = 0;
  uint64_t resolutions_ = 0;
};

// Bit-for-bit equality as the log can carry it: any NaN equals any NaN
// (the log keeps no payload or sign), and -0.0 differs from 0.0.
bool same_float(double a, double b);

}  // namespace sorvane::toolkit
