// The decision policy: checks the candidate vectors, estimates each
// candidate's reward (model or score tap), shares out probabilities
// (epsilon-greedy or explore tap), draws one candidate with a number derived
// from the decision's own id, fingerprints the candidate set and commits the
// record. Nothing changes in the state before the final commit.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hashing.hpp"
#include "types.hpp"

namespace sorvane {

// The candidates' vectors, one after another in one buffer.
struct CandidateVectors {
  SparseVector pairs;
  std::vector<size_t> ends;  // ends[i] is one past candidate i's last pair

  size_t size() const { return ends.size(); }
  SparseView operator[](size_t i) const {
    const size_t begin = i == 0 ? 0 : ends[i - 1];
    return SparseView(pairs.data() + begin, ends[i] - begin);
  }
};

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

// Buffers a decision reuses, so that one allocates nothing per pair.
struct DecideScratch {
  FeatureHasher hasher;
  CandidateVectors vectors;
  std::vector<double> estimates;
  std::vector<double> probabilities;
};

inline constexpr const char* kNoCandidateMessage = "need at least one candidate";
inline constexpr const char* kEpsilonMessage = "epsilon must be in [0, 1]";

// The built-in epsilon-greedy rule.
Status epsilon_greedy(std::span<const double> estimates, double epsilon,
                      std::vector<double>& probabilities);

// The uniform number in [0, 1) drawn for a decision id and salt.
double decision_uniform(std::string_view decision_id, std::string_view salt);

struct BanditState;

Result<DecisionRecord> decide_policy(BanditState& state, std::span<const NamedFeature> context,
                                     std::span<const Candidate> candidates, double t,
                                     std::string_view salt, ScoreTap* score, ExploreTap* explore);

}  // namespace sorvane
