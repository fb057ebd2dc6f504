// The joint model: an online linear regression over exactly the vectors the
// engine hashes, fitted jointly on squared loss by per-coordinate adaptive
// gradient steps (AdaGrad). Where the engine's built-in model makes each
// coordinate its own ratio of (feature x reward) to (feature squared), so an
// estimate is a sum of marginal means, this one fits all coordinates of a
// vector together and recovers partial effects: per-candidate context
// weights (context feature x identity) then mean what they say.
//
// Memory is two dense arrays of 2**bits doubles (weights, accumulated
// squared gradients). estimate and train cost time in proportion to the
// vector's pairs and allocate nothing. Every result is reproduced to the
// bit: the arithmetic order is fixed below, there is no fused multiply-add
// (the build forbids contraction) and nothing runs on another thread.
//
// JointTaps plugs a model into the engine's decide, learn and expire as
// their score, explore and train taps, so a replay drives it from the
// vectors it has already hashed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api.hpp"

namespace sorvane::toolkit {

// How the selection probabilities are shared out.
enum class ExploreRule : uint64_t {
  // The engine's own rule with the state's epsilon.
  epsilon_greedy = 0,
  // SquareCB: a candidate whose estimate falls short of the best by gap
  // gets 1 / (n + gamma * gap), the best the rest; gamma grows with the
  // square root of the updates, so exploration fades as evidence builds.
  squarecb = 1,
};

struct JointSettings {
  uint32_t bits = 18;
  double learning_rate = 0.01;
  ExploreRule explore = ExploreRule::squarecb;
  double gamma_scale = 10.0;  // gamma = gamma_scale * sqrt(updates), for squarecb
  // Where every coordinate's sum of squared gradients starts: early steps
  // are plain gradient steps of about learning_rate / sqrt(this), so that a
  // rare large gradient (a click among many misses) does not throw the
  // weights about; AdaGrad's own scaling takes over as evidence builds.
  double initial_accumulator = 0.0;
};

// The settings' checks, in the order of the fields; the first failure's
// message, or empty when all hold.
std::string settings_error(const JointSettings& settings);

// The names of the rules, as hosts write them.
std::string_view explore_rule_name(ExploreRule rule);
bool explore_rule_from_name(std::string_view name, ExploreRule& out);

namespace joint_msg {
inline constexpr const char* kRewardNotFinite = "the joint model trains only on finite rewards";
inline constexpr const char* kFeaturesDontFit =
    "the record's features do not fit this joint model: they must be (index, value) pairs in "
    "strictly increasing index order below 2**bits of the model (a state of other bits?)";
inline constexpr const char* kEstimates = "estimates must be finite numbers, at least one";
}  // namespace joint_msg

class JointModel {
 public:
  // settings_error must be empty.
  explicit JointModel(const JointSettings& settings);

  const JointSettings& settings() const { return settings_; }
  uint64_t dim() const { return weights_.size(); }
  uint64_t updates() const { return updates_; }

  // acc = +0.0; for each pair (i, v) in order: acc = acc + w[i] * v.
  // Every index must be below dim().
  double estimate(SparseView x) const;
  // One estimate per candidate vector, in order, into `out` (reused).
  void estimate_all(const CandidateVectors& vectors, std::vector<double>& out) const;

  // One AdaGrad step on the squared loss of x against reward:
  //   g = estimate(x) - reward;
  //   for each pair (i, v) in order: gi = g * v; G[i] = G[i] + gi * gi;
  //   when G[i] > 0: w[i] = w[i] - (learning_rate * gi) / sqrt(G[i]).
  // then updates + 1. Refused, with nothing changed, when the reward is not
  // finite (kRewardNotFinite) or the vector does not fit (kFeaturesDontFit):
  // an index not below dim() (a state of other bits) or not increasing.
  Status train(SparseView x, double reward);

  // The probabilities of the configured rule for these estimates (finite,
  // at least one) and the state's epsilon, into `out`.
  Status explore(std::span<const double> estimates, double epsilon, std::vector<double>& out) const;

  // The versioned, checksummed text of the settings, the update count and
  // both arrays (joint_model.cpp gives the layout).
  std::string serialize() const;
  // The model a serialize text holds, or the first failing check's message.
  static Result<JointModel> deserialize(std::string_view text);

 private:
  JointSettings settings_;
  uint64_t updates_ = 0;
  std::vector<double> weights_;
  std::vector<double> squared_gradients_;
};

// SquareCB over the estimates with this gamma (joint_model.cpp states the
// arithmetic), into `out`.
void squarecb(std::span<const double> estimates, double gamma, std::vector<double>& out);

// A model as the engine's taps: score by the model over the vectors decide
// hashed, explore by its rule, train it on each resolved record.
class JointTaps final : public ScoreTap, public ExploreTap, public TrainTap {
 public:
  explicit JointTaps(JointModel& model) : model_(model) {}
  Status score(const CandidateVectors& vectors, std::vector<double>& estimates) override;
  Status explore(std::span<const double> estimates, double epsilon,
                 std::vector<double>& probabilities) override;
  Status train(const DecisionRecord& record, double reward) override;

 private:
  JointModel& model_;
};

}  // namespace sorvane::toolkit
