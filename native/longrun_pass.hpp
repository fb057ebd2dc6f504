// The long-run replay of learning targets on the experience log (the
// nonstationary doubly robust replay), through the engine itself. Each
// (replay, target) has a state of its own. Per logged decision, each asks
// its state for the target's epsilon-greedy probabilities pi, draws the
// acceptance min(1, c pi(logged) / propensity) from a uniform number of the
// replay and the decision's id, and decides steered to the logged choice
// only when it accepts (a refused decide changes nothing); at the
// resolution the accepted decision is learned and the decision's doubly
// robust term counted:
//
//     sum_a pi(a) rhat(a) + pi(logged) / propensity (reward - rhat(logged))
//
// rhat comes from the reward model the Python toolkit fitted: its tables
// are handed over and its predictions made here as Python makes them.
// A target with a joint model (joint_model.hpp) has one of its own per run:
// it scores the decide, its rule gives pi in place of epsilon-greedy, and
// learn trains it.
//
// Every number is computed in the order the Python replay computes it, so
// the sums are the same bit for bit. Like the other passes, it declines the whole log at the
// first line the Python evaluation would stop at or might read otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "api.hpp"
#include "batch_workers.hpp"
#include "joint_model.hpp"
#include "keyed_hash.hpp"
#include "log_eval.hpp"
#include "log_pass.hpp"
#include "reward_tables.hpp"

namespace sorvane::toolkit {

// A target's model: the built-in one, a fresh joint model of these settings
// at the run's bits, or the saved joint model `text` holds.
struct LongRunModel {
  enum class Kind : uint8_t { builtin, fresh, saved } kind = Kind::builtin;
  JointSettings settings;  // fresh: its bits are the run's
  std::string text;        // saved
};

// What the long-run replay runs: its targets (EvalTarget's settings, where
// a state_text is the saved state that target continues with its own
// settings), its replays' draws and the reward model.
struct LongRunSettings {
  std::vector<EvalTarget> targets;
  std::vector<LongRunModel> models;  // one per target; empty: every target's is the built-in one
  // The saved state the first target (the logging configuration) continues;
  // it also learns the resolutions of decisions made before the log began.
  std::optional<std::string> baseline_text;
  std::vector<std::string> replay_prefixes;  // the acceptance draw's, one per replay
  double scale = 0.3;
  RewardTables model;
};

// One (replay, target)'s sums, in the Python replay's order.
struct LongRunSums {
  uint64_t offered = 0;  // decisions with a usable propensity
  uint64_t count = 0;
  double total = 0.0;
  double total_sq = 0.0;
  uint64_t accepted = 0;
  uint64_t cut = 0;
  std::vector<double> terms;  // in resolution order
};

// The lines are read and hashed as every pass reads them, and their shared
// part (the pending ids, the reward model's predictions, the acceptance
// uniforms) is done in log order on the caller's thread. What each
// (replay, target) does with a batch (decide, learn, count its terms)
// touches nothing but its own state and sums, so once a batch has been
// stepped through, the runs go through it side by side on all the pass's
// threads, each in log order: the results are the same for any number of
// threads, and each run's model stays in its thread's cache for the batch.
class LongRunPass final : public LogPass {
 public:
  LongRunPass(LongRunSettings settings, PassOptions options = {});
  ~LongRunPass();

  uint64_t decisions() const { return decisions_; }
  uint64_t resolved() const { return resolved_; }
  uint64_t excluded() const { return excluded_; }
  uint64_t pending() const { return pending_.size(); }
  size_t replays() const { return settings_.replay_prefixes.size(); }
  size_t target_count() const { return settings_.targets.size(); }
  // Nothing before the first decision line.
  const LongRunSums* sums(size_t replay, size_t target) const;
  uint32_t target_bits(size_t target) const { return settings_.targets[target].bits; }
  // The usable resolutions' positions and logged rewards, in resolution order.
  const std::vector<int64_t>& logged_seq() const { return logged_seq_; }
  const std::vector<double>& logged_reward() const { return logged_reward_; }

  struct Run;

 private:
  // A logged decision still waiting for its resolution; `slot` is where
  // each run keeps what it made of it (kNoSlot: offered to none).
  struct Pending {
    uint64_t seq;
    size_t slot;
  };
  // One line's part in every run's work, in log order.
  struct Step {
    enum class Kind : uint8_t { decide, resolve, learn_saved } kind;
    uint64_t line;                   // for a decline
    const ReadyDecision* decision;   // decide
    size_t slot;                     // decide, resolve
    size_t shared;                   // decide: where its rhat and uniforms start; learn_saved: saved_ index
    double reward;                   // resolve
    bool rewarded;                   // resolve
  };

  void decision(const ReadyDecision& d) override;
  void resolution(const ResolutionLine& r) override;
  void stepped() override;
  // The runs' states and models; the reason when one cannot be made.
  const char* start(uint32_t bits);
  bool learn_saved(std::string_view id, double reward, double when);
  size_t take_slot();
  // One run through the batch's steps; false (and its reason) at the first it cannot take.
  bool step_run(Run& run, size_t replay, DecideScratch& scratch);

  LongRunSettings settings_;
  std::vector<double> rhat_;
  std::vector<Run> runs_;  // replay after replay, each its targets in order
  bool started_ = false;
  std::optional<BanditState> baseline_;  // the saved state the baseline continues
  std::vector<std::optional<JointModel>> saved_models_;  // per target: the saved model each run copies
  std::vector<std::tuple<std::string, double, double>> early_;  // resolved before the first decision line
  std::unordered_map<std::string, Pending, KeyedTextHash> pending_;
  std::vector<size_t> free_slots_;
  size_t slots_ = 0;
  // The batch's steps and what they share, emptied once the runs are through.
  std::vector<Step> steps_;
  std::vector<double> shared_;  // per decision: its rhat, then one uniform per replay
  std::vector<std::tuple<std::string, double, double>> saved_;  // learn_saved steps' (id, reward, when)
  BatchWorkers run_workers_;
  std::vector<DecideScratch> scratches_;  // one per thread
  std::vector<int64_t> logged_seq_;
  std::vector<double> logged_reward_;
  uint64_t decisions_ = 0;
  uint64_t resolved_ = 0;
  uint64_t excluded_ = 0;
};

}  // namespace sorvane::toolkit
