#include "log_columns.hpp"

namespace sorvane::toolkit {

namespace {

// Where a decision line's record starts; the text before it is the line's inputs.
constexpr std::string_view kRecordKey = ",\"record\":{";

}  // namespace

bool LogColumns::feed(std::string_view bytes) {
  if (declined_) return false;
  const bool fed = lines_in_.feed(bytes, [this](std::string_view line) { return take(line); });
  if (!fed && !declined_) decline("a line is longer than the bound");
  return !declined_;
}

void LogColumns::finish() {
  if (declined_) return;
  lines_in_.finish([this](std::string_view line) { return take(line); });
}

bool LogColumns::decline(const char* why) {
  if (!declined_) {
    declined_ = true;
    declined_line_ = lines_;
    reason_ = why;
  }
  return false;
}

bool LogColumns::take(std::string_view line) {
  ++lines_;
  switch (reader_.read(line)) {
    case LineKind::decision:
      decision(line);
      break;
    case LineKind::resolution:
      resolution();
      break;
    case LineKind::declined:
      return decline(reader_.why());
  }
  return !declined_;
}

void LogColumns::decision(std::string_view line) {
  const DecisionLine& d = reader_.decision();
  const LoggedRecord& r = d.record;
  if (r.chosen >= d.candidates.size()) {
    decline("the chosen position is not one of the candidates");
    return;
  }
  const size_t cut = line.rfind(kRecordKey);
  if (cut == std::string_view::npos) {
    decline("the record is not where log_line writes it");
    return;
  }
  key_.assign(line.substr(0, cut));
  auto [at, added] = inputs_index_.try_emplace(key_, static_cast<uint32_t>(columns_.distinct_inputs.size()));
  if (added) columns_.distinct_inputs.push_back(key_);
  DecisionColumns& c = columns_;
  key_.assign(r.decision_id);
  pending_[key_] = c.t.size();
  c.decision_id.emplace_back(r.decision_id);
  c.salt.emplace_back(r.salt);
  c.chosen_id.emplace_back(d.candidates[r.chosen].id);
  c.t.push_back(r.t);
  c.propensity.push_back(r.propensity);
  c.chosen.push_back(r.chosen);
  c.candidates.push_back(d.candidates.size());
  c.model_version.push_back(r.model_version);
  c.inputs.push_back(at->second);
  c.outcome.push_back(Outcome::pending);
  c.reward.push_back(0.0);
}

void LogColumns::resolution() {
  const ResolutionLine& r = reader_.resolution();
  key_.assign(r.decision_id);
  auto found = pending_.find(key_);
  if (found == pending_.end()) {
    // A second resolution is a problem of the log, which the Python path reports.
    if (resolved_ids_.count(key_)) decline("a decision is resolved a second time");
    else ++columns_.unmatched;
    return;
  }
  const size_t row = found->second;
  pending_.erase(found);
  resolved_ids_.insert(key_);
  columns_.outcome[row] = r.kind == ResolutionKind::rewarded ? Outcome::rewarded : Outcome::expired;
  columns_.reward[row] = r.reward;
  ++columns_.resolved;
}

}  // namespace sorvane::toolkit
