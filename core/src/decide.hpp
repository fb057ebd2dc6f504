// The decision policy's parts: the buffers a decision reuses, the built-in
// epsilon-greedy rule and the draw. The decision itself is the facade's
// decide (api.hpp): it checks the candidate vectors, estimates each
// candidate's reward (model or score tap), shares out probabilities
// (epsilon-greedy or explore tap), draws one candidate with a number derived
// from the decision's own id, fingerprints the candidate set and commits the
// record. Nothing changes in the state before the final commit.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hashing.hpp"
#include "types.hpp"

namespace sorvane {

// Buffers a decision reuses, so that one allocates nothing per pair.
struct DecideScratch {
  FeatureHasher hasher;
  CandidateVectors vectors;
  std::vector<double> estimates;
  std::vector<double> probabilities;
};

// The uniform number in [0, 1) drawn for a decision id and salt.
double decision_uniform(std::string_view decision_id, std::string_view salt);

}  // namespace sorvane
