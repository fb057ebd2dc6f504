#include "epsilon_greedy.hpp"

#include "config.hpp"
#include "messages.hpp"

namespace sorvane {

GreedyCandidates greedy_candidates(std::span<const double> estimates) {
  double best = estimates[0];
  for (size_t i = 1; i < estimates.size(); ++i)
    if (estimates[i] > best) best = estimates[i];
  size_t ties = 0;
  for (double e : estimates)
    if (e == best) ++ties;
  return {best, ties};
}

void share_epsilon_greedy(std::span<const double> estimates, GreedyCandidates greedy, double epsilon,
                          std::vector<double>& probabilities) {
  const size_t n = estimates.size();
  const double base = epsilon / static_cast<double>(n);
  // With no tie (a NaN best) top is never given out.
  const double top = (1.0 - epsilon) / static_cast<double>(greedy.ties) + base;
  probabilities.resize(n);
  for (size_t i = 0; i < n; ++i) probabilities[i] = estimates[i] == greedy.best ? top : base;
}

Status epsilon_greedy(std::span<const double> estimates, double epsilon,
                      std::vector<double>& probabilities) {
  if (estimates.empty()) return fail(msg::kNoCandidate);
  if (!epsilon_valid(epsilon)) return fail(msg::kEpsilon);
  share_epsilon_greedy(estimates, greedy_candidates(estimates), epsilon, probabilities);
  return Ok{};
}

}  // namespace sorvane
