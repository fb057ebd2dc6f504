// Values shared across the engine: sparse vectors, decision records and
// resolutions. Field order is the order of the snapshot and the log line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sorvane {

struct FeaturePair {
  uint64_t index;
  double value;
};

// Indices strictly increasing, below the model dimension, values nonzero.
using SparseVector = std::vector<FeaturePair>;
using SparseView = std::span<const FeaturePair>;

struct DecisionRecord {
  std::string decision_id;
  double t = 0.0;
  uint64_t candidate_hash = 0;
  uint64_t chosen = 0;
  SparseVector features;
  double propensity = 0.0;
  uint64_t model_version = 0;
  std::string salt;
};

enum class ResolutionKind : int { rewarded = 0, expired = 1 };

struct Resolution {
  std::string decision_id;
  double reward = 0.0;
  ResolutionKind kind = ResolutionKind::rewarded;
};

}  // namespace sorvane
