// The off-policy evaluation of target configurations on the experience
// log, through the engine itself: per decision, one decide per learner with
// an explore tap that reads each target's epsilon-greedy probabilities off
// the learner's estimates and steers the draw to the logged choice, so that
// the learner's ledger holds what the logging state's held; per resolution,
// one learn per learner. Targets that share bits, forgetfulness and default
// reward go through identical models and share one learner.
//
// As the replay does, the evaluation declines the whole log at the first
// line the Python evaluation would stop at or might read otherwise: it then
// evaluates the log itself, from the start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api.hpp"
#include "keyed_hash.hpp"
#include "log_pass.hpp"

namespace sorvane::toolkit {

struct EvalTarget {
  uint32_t bits = 0;  // 0: the bits of the log's first decision line
  double horizon = 1.0;
  double default_reward = 0.0;
  double epsilon = 0.05;
  double forgetfulness = 0.999;
  // Only the baseline continuing a saved state has one.
  std::optional<std::string> state_text;
};

// The per-decision quantities of one target, in resolution order.
struct TargetTerms {
  std::vector<int64_t> seq;  // the decision's position among the log's decisions, from 1
  std::vector<double> w;     // pi(a) / logged propensity
  std::vector<double> r;     // the logged reward
  std::vector<double> dm;    // sum over candidates of pi q
  std::vector<double> q;     // q(a)
};

class LogEvaluation final : public LogPass {
 public:
  // `compensated_sum`: the interpreter's sum() of floats compensates its
  // rounding (3.12 and later), and the DR term must be summed the same way.
  // Logs whose bits are larger than `max_bits` are declined (the fuzzer
  // keeps states small).
  LogEvaluation(std::vector<EvalTarget> targets, bool compensated_sum, uint32_t max_bits = 24,
                PassOptions options = {});
  ~LogEvaluation();

  uint64_t decisions() const { return decisions_; }
  uint64_t resolved() const { return resolved_; }
  uint64_t excluded() const { return excluded_; }
  uint64_t pending() const { return pending_.size(); }
  size_t target_count() const { return terms_.size(); }
  const TargetTerms& terms(size_t target) const { return terms_[target]; }
  // A target's bits, once given (by the saved state or the first decision line); else 0.
  uint32_t target_bits(size_t target) const { return targets_[target].bits; }

  struct Learner;

 private:
  struct Seen {
    double pi;  // the target's probability of the logged choice
    double dm;
    double q;
  };
  struct Pending {
    uint64_t seq;
    double propensity;
    std::vector<std::string> ids;  // per learner, the id its ledger holds
    std::vector<Seen> seen;        // per target
  };

  void decision(const ReadyDecision& d) override;
  void resolution(const ResolutionLine& r) override;
  bool make_learners(uint32_t bits);

  std::vector<EvalTarget> targets_;
  bool compensated_sum_;
  uint32_t max_bits_;
  std::vector<Learner> learners_;
  bool have_learners_ = false;
  DecideScratch scratch_;  // the learners decide one after another
  std::optional<BanditState> baseline_state_;  // a saved state, until the learners take it
  std::vector<TargetTerms> terms_;
  std::unordered_map<std::string, Pending, KeyedTextHash> pending_;  // ids the log chose: keyed
  uint64_t decisions_ = 0;
  uint64_t resolved_ = 0;
  uint64_t excluded_ = 0;
};

}  // namespace sorvane::toolkit
