// The built-in exploration rule, epsilon-greedy: 1 - epsilon shared by the
// candidates with the highest estimate, epsilon by all. The highest estimate
// is the first of equal values, replaced only by a strictly greater one, so
// a NaN first estimate stays the highest and ties with nothing: then every
// candidate gets epsilon's share alone, and the probabilities sum to epsilon.
//
// decide runs the whole rule; a caller that applies several epsilons to one
// set of estimates finds the greedy candidates once and shares out per
// epsilon, with the same bits.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "error.hpp"

namespace sorvane {

// The candidates the rule favours: the highest estimate and how many share
// it (0 when it is NaN). One pass over the estimates, which must not be
// empty.
struct GreedyCandidates {
  double best = 0.0;
  size_t ties = 0;
};
GreedyCandidates greedy_candidates(std::span<const double> estimates);

// One probability per candidate, in order, into `probabilities` (resized,
// no allocation once it has grown). `greedy` must be the estimates' own and
// epsilon in [0, 1]: nothing is checked.
void share_epsilon_greedy(std::span<const double> estimates, GreedyCandidates greedy, double epsilon,
                          std::vector<double>& probabilities);

// The whole rule, with its checks: no candidate, then epsilon outside [0, 1].
Status epsilon_greedy(std::span<const double> estimates, double epsilon,
                      std::vector<double>& probabilities);

}  // namespace sorvane
