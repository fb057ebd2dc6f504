// One line of the experience log read as the engine's inputs, with the
// values json.loads would give and the module's conversion rules applied to
// them: duplicate keys keep their last value, integers become the nearest
// double, true and false are 1.0 and 0.0, the NaN, Infinity and -Infinity
// tokens are numbers, and nested values in a feature dict are refused.
//
// The reader declines every line it cannot read exactly as the toolkit's
// Python reader would, and every line that would not replay as written
// (a decide or learn would refuse it): the caller hands those to the Python
// reader, which knows what to say about them.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "hashing.hpp"
#include "types.hpp"

namespace sorvane::toolkit {

// A decision line's record object, as logged.
struct LoggedRecord {
  std::string_view decision_id;
  double t = 0.0;
  uint64_t candidate_hash = 0;
  uint64_t chosen = 0;
  std::vector<FeaturePair> features;
  double propensity = 0.0;
  uint64_t model_version = 0;
  std::string_view salt;
};

struct DecisionLine {
  uint32_t bits = 0;
  // The context's features, then each candidate's; the candidates view them.
  std::vector<NamedFeature> features;
  // Per feature, whether the log gave it as true or false (the engine takes it as 1 or 0).
  std::vector<uint8_t> booleans;
  size_t context_size = 0;
  std::vector<Candidate> candidates;
  LoggedRecord record;

  std::span<const NamedFeature> context() const { return {features.data(), context_size}; }
};

struct ResolutionLine {
  std::string_view decision_id;
  ResolutionKind kind = ResolutionKind::rewarded;
  double reward = 0.0;
};

enum class LineKind { decision, resolution, declined };

class LogReader {
 public:
  LogReader();
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Reads one line (its newline may be there or not). The texts of the
  // result point into the reader and stay valid until the next read.
  LineKind read(std::string_view line);

  const DecisionLine& decision() const { return decision_; }
  const ResolutionLine& resolution() const { return resolution_; }
  // Why the last line was declined, for people.
  const char* why() const { return why_; }

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  DecisionLine decision_;
  ResolutionLine resolution_;
  std::vector<size_t> candidate_ends_;
  const char* why_ = "";
  // Whether the line's special number tokens were rewritten as marks: only
  // then is a string of a NUL and one letter a number.
  bool marked_ = false;
  friend struct LineConverter;
};

}  // namespace sorvane::toolkit
