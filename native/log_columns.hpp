// The columns `sorvane export` writes, read from the log with no Python
// object made per line: per decision its record's fields, its chosen
// candidate's id, how many candidates it offers, which of the log's
// distinct inputs it was made over (the line's text before its record: the
// bits, context and candidates, which the caller parses once each), and
// the resolution the log gives it.
//
// Like a replay it declines the whole log at the first line it cannot read
// exactly as the Python reader does, and at a resolution given twice: the
// Python path then reads the log and says what is wrong.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "line_feed.hpp"
#include "log_reader.hpp"

namespace sorvane::toolkit {

enum class Outcome : uint8_t { pending = 0, rewarded = 1, expired = 2 };

struct DecisionColumns {
  std::vector<std::string> decision_id, salt, chosen_id;
  std::vector<double> t, propensity;
  std::vector<uint64_t> chosen, candidates, model_version;
  std::vector<uint32_t> inputs;  // an index into distinct_inputs
  std::vector<Outcome> outcome;
  std::vector<double> reward;    // meaningful where outcome is not pending
  std::vector<std::string> distinct_inputs;
  uint64_t resolved = 0;
  uint64_t unmatched = 0;        // resolutions of decisions before the log
};

class LogColumns {
 public:
  // The next bytes of the log; false once it has declined.
  bool feed(std::string_view bytes);
  // The end of the log: its last line may lack a newline.
  void finish();
  // Counts a line the caller read itself (the header).
  void skip_line() { ++lines_; }
  void set_line_limit(size_t bytes) { lines_in_.set_limit(bytes); }

  bool declined() const { return declined_; }
  uint64_t declined_line() const { return declined_line_; }
  const std::string& decline_reason() const { return reason_; }
  const DecisionColumns& columns() const { return columns_; }

 private:
  bool take(std::string_view line);
  void decision(std::string_view line);
  void resolution();
  bool decline(const char* why);

  LineFeed lines_in_;
  LogReader reader_;
  DecisionColumns columns_;
  std::unordered_map<std::string, uint32_t> inputs_index_;
  std::unordered_map<std::string, size_t> pending_;  // decision id -> row
  std::unordered_set<std::string> resolved_ids_;
  std::string key_;  // reused for lookups
  uint64_t lines_ = 0;
  bool declined_ = false;
  uint64_t declined_line_ = 0;
  std::string reason_;
};

}  // namespace sorvane::toolkit
