// The decision's inner parts, for the engine's own files: the buffers behind
// a DecideScratch and the draw. The decision itself is the facade's decide
// (api.hpp): it checks the candidate vectors, estimates each candidate's
// reward (model or score tap), shares out probabilities (epsilon-greedy,
// epsilon_greedy.hpp, or explore tap), draws one candidate with a number
// derived from the decision's own id, fingerprints the candidate set and
// commits the record. Nothing changes in the state before the final commit.
#pragma once

#include <string_view>
#include <vector>

#include "api.hpp"
#include "hashing.hpp"
#include "types.hpp"

namespace sorvane {

// What a DecideScratch holds: every buffer a decision fills, kept between
// decisions so that one allocates nothing per pair once they have grown.
struct DecideScratch::Buffers {
  FeatureHasher hasher;
  CandidateVectors vectors;
  std::vector<double> estimates;
  std::vector<double> probabilities;
};

// The uniform number in [0, 1) drawn for a decision id and salt.
double decision_uniform(std::string_view decision_id, std::string_view salt);

}  // namespace sorvane
