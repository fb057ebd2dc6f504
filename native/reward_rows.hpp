// The pass that gathers the long-run replay's reward model's data, as
// RewardModel.observe gathers it in the Python toolkit: for every resolved
// decision with a finite reward, in resolution order, its context's tokens
// (numbered as they first appear, the first kMaxTokens of them) and the
// reward, grouped by the chosen candidate's id in the order the ids first
// appear. The fit itself stays in Python. Declines what the Python reading
// might take otherwise, and rows where a token comes twice.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "keyed_hash.hpp"
#include "log_pass.hpp"
#include "reward_tables.hpp"

namespace sorvane::toolkit {

struct RewardRows {
  std::string candidate_id;
  std::vector<uint64_t> row_ends;  // one past each row's last entry
  std::vector<uint32_t> columns;
  std::vector<double> values;
  std::vector<double> rewards;
};

class RewardRowsPass final : public LogPass {
 public:
  static constexpr size_t kMaxTokens = 256;

  explicit RewardRowsPass(PassOptions options = {});

  const std::vector<std::string>& tokens() const { return tokens_; }
  const std::vector<RewardRows>& groups() const { return groups_; }
  double low() const { return low_; }
  double high() const { return high_; }

 private:
  struct Chosen {
    ContextTokens context;  // its candidates' ids left out
    std::string candidate_id;
  };

  void decision(const ReadyDecision& d) override;
  void resolution(const ResolutionLine& r) override;

  std::vector<std::string> tokens_;
  std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>> token_index_;
  std::vector<RewardRows> groups_;
  std::unordered_map<std::string, size_t> group_index_;
  std::unordered_map<std::string, Chosen, KeyedTextHash> chosen_;
  double low_;
  double high_;
};

}  // namespace sorvane::toolkit
