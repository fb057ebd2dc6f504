#include "log_replay.hpp"

#include <cmath>
#include <limits>


namespace sorvane::toolkit {

bool same_float(double a, double b) {
  if (a == b) return a != 0.0 || std::signbit(a) == std::signbit(b);
  return std::isnan(a) && std::isnan(b);
}

LogReplay::LogReplay(ReplayConfig config, PassOptions options)
    : LogPass(options), config_(std::move(config)) {
  if (!config_.state_text) return;
  if (auto saved = load_saved_state(*config_.state_text)) {
    bits_ = saved->second;
    state_.emplace(std::move(saved->first));
  }
}

void LogReplay::decision(const ReadyDecision& d) {
  ++decisions_;
  if (!state_) {
    if (d.bits > config_.max_bits) return decline("the line's bits are larger than this replay takes");
    Result<BanditState> created =
        create(d.bits, config_.horizon, config_.default_reward, config_.epsilon, config_.forgetfulness);
    if (!created.ok()) return decline("no state can be created with the line's bits");
    state_.emplace(std::move(created.value()));
    bits_ = d.bits;
  } else if (d.bits != bits_) {
    return decline("the line's bits differ from the state's");
  }
  const HashedCandidates* hashed = d.hashed_at(bits_);
  if (hashed == nullptr) return decline("the line's candidates were not hashed at the state's bits");
  Result<DecisionRecord> replayed =
      decide_hashed(*state_, scratch_, *hashed, d.record.t, d.record.salt, nullptr, nullptr);
  if (!replayed.ok()) return decline("decide refuses the logged inputs");
  if (!same_record(d.record, replayed.value())) decline("the replayed record differs");
}

bool LogReplay::same_record(const LoggedRecord& l, const DecisionRecord& r) {
  // The parser has read every field of the line, so the fields are compared
  // whatever writer spaced or spelled them: equal fields are all that equal
  // canonical text would prove, and comparing them costs less than writing
  // the replayed record's text.
  if (l.decision_id != r.decision_id || !same_float(l.t, r.t) || l.candidate_hash != r.candidate_hash ||
      l.chosen != r.chosen || !same_float(l.propensity, r.propensity) ||
      l.model_version != r.model_version || l.salt != r.salt || l.features.size() != r.features.size()) {
    return false;
  }
  for (size_t i = 0; i < r.features.size(); ++i) {
    if (l.features[i].index != r.features[i].index || !same_float(l.features[i].value, r.features[i].value)) {
      return false;
    }
  }
  return true;
}

void LogReplay::resolution(const ResolutionLine& r) {
  ++resolutions_;
  if (!state_) return decline("a resolution comes before any decision");
  const double when = r.kind == ResolutionKind::rewarded ? std::numeric_limits<double>::quiet_NaN()
                                                         : std::numeric_limits<double>::infinity();
  Result<std::optional<Resolution>> resolved = learn(*state_, r.decision_id, r.reward, when, nullptr);
  if (!resolved.ok()) return decline("learn refuses the logged resolution");
  if (!resolved.value()) return decline("the resolution's id is not pending");
  const Resolution& got = *resolved.value();
  if (got.kind != r.kind || !same_float(got.reward, r.reward)) {
    decline("the resolution differs from what the state gives");
  }
}

std::optional<std::string> LogReplay::state_text() const {
  if (!state_) return std::nullopt;
  return serialize(*state_);
}

}  // namespace sorvane::toolkit
