#include "reward_rows.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sorvane::toolkit {

namespace {
PassOptions with_tokens(PassOptions options) {
  options.context_tokens = true;
  options.hash_candidates = false;
  return options;
}
}  // namespace

RewardRowsPass::RewardRowsPass(PassOptions options)
    : LogPass(with_tokens(options)),
      low_(std::numeric_limits<double>::infinity()),
      high_(-std::numeric_limits<double>::infinity()) {}

void RewardRowsPass::decision(const ReadyDecision& d) {
  if (d.record.chosen >= d.candidates) return decline("the logged choice is not a candidate");
  Chosen entry;
  const ContextTokens& c = d.tokens;
  entry.context.text = c.text;
  entry.context.ends = c.ends;
  entry.context.values = c.values;
  entry.candidate_id.assign(c.id(static_cast<size_t>(d.record.chosen)));
  // A later decision of the same id takes its place, as a dict's entry does.
  chosen_.insert_or_assign(std::string(d.record.decision_id), std::move(entry));
}

void RewardRowsPass::resolution(const ResolutionLine& r) {
  auto it = chosen_.find(std::string(r.decision_id));
  if (it == chosen_.end()) return;
  Chosen entry = std::move(it->second);
  chosen_.erase(it);
  const double reward = r.reward;
  if (!std::isfinite(reward)) return;
  auto [g, added] = group_index_.try_emplace(entry.candidate_id, groups_.size());
  if (added) groups_.push_back(RewardRows{entry.candidate_id, {}, {}, {}, {}});
  RewardRows& rows = groups_[g->second];
  const size_t begin = rows.columns.size();
  const ContextTokens& context = entry.context;
  for (size_t k = 0; k < context.size(); ++k) {
    const std::string_view token = context.token(k);
    auto t = token_index_.find(token);
    uint32_t column;
    if (t != token_index_.end()) {
      column = t->second;
    } else if (tokens_.size() < kMaxTokens) {
      column = static_cast<uint32_t>(tokens_.size());
      token_index_.emplace(std::string(token), column);
      tokens_.emplace_back(token);
    } else {
      continue;
    }
    if (std::find(rows.columns.begin() + static_cast<ptrdiff_t>(begin), rows.columns.end(), column) !=
        rows.columns.end()) {
      return decline("a context gives one token twice");
    }
    rows.columns.push_back(column);
    rows.values.push_back(context.values[k]);
  }
  rows.row_ends.push_back(rows.columns.size());
  rows.rewards.push_back(reward);
  // min() and max() as the interpreter picks: the first unless the second is strictly past it.
  if (reward < low_) low_ = reward;
  if (reward > high_) high_ = reward;
}

}  // namespace sorvane::toolkit
