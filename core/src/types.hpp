// Values shared across the engine and with its host: the caller's features
// and candidates, sparse vectors, decision records and resolutions. Field
// order is the order of the snapshot and the log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

enum class FeatureKind : uint8_t { absent, text, number };

// The engine's view of one feature value; texts are views into storage the
// caller keeps alive for the duration of the operation.
struct FeatureValue {
  FeatureKind kind = FeatureKind::absent;
  double number = 0.0;
  std::string_view text;
};

struct NamedFeature {
  std::string_view name;
  FeatureValue value;
};

struct Candidate {
  std::string_view id;
  std::span<const NamedFeature> features;
};

struct FeaturePair {
  uint64_t index;
  double value;
};

// Indices strictly increasing, below the model dimension, values nonzero.
using SparseVector = std::vector<FeaturePair>;
using SparseView = std::span<const FeaturePair>;

// The candidates' vectors of one decision, one after another in one buffer.
struct CandidateVectors {
  SparseVector pairs;
  std::vector<size_t> ends;  // ends[i] is one past candidate i's last pair

  size_t size() const { return ends.size(); }
  SparseView operator[](size_t i) const {
    const size_t begin = i == 0 ? 0 : ends[i - 1];
    return SparseView(pairs.data() + begin, ends[i] - begin);
  }
  void clear() {
    pairs.clear();
    ends.clear();
  }
};

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
