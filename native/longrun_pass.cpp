#include "longrun_pass.hpp"

#include <cmath>
#include <limits>

#include "acceptance_draw.hpp"
#include "epsilon_greedy.hpp"

namespace sorvane::toolkit {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

// One (replay, target): its state, and the explore tap that reads its
// probabilities and draws its acceptance during one decide.
struct LongRunPass::Run final : ExploreTap {
  BanditState state;
  uint32_t bits;
  double default_reward;
  LongRunSums sums;
  // Set for one decide.
  double scale = 0.0;
  size_t chosen = 0;
  double propensity = 1.0;
  double u = 0.0;
  bool explored = false;
  bool accepted = false;
  std::vector<double> probabilities;

  Run(BanditState s, uint32_t b, double reward) : state(std::move(s)), bits(b), default_reward(reward) {}

  // The built-in probabilities over the estimates, then the acceptance: an
  // accepted decision is committed steered to the logged choice, a refused
  // one fails the decide, which leaves the state as it was.
  Status explore(std::span<const double> estimates, double epsilon, std::vector<double>& out) override {
    share_epsilon_greedy(estimates, greedy_candidates(estimates), epsilon, probabilities);
    explored = true;
    const double ratio = scale * probabilities[chosen] / propensity;
    if (ratio > 1.0) ++sums.cut;
    accepted = u < ratio;
    if (!accepted) return fail("the decision is not accepted");
    out.assign(estimates.size(), 0.0);
    out[chosen] = 1.0;
    return Ok{};
  }
};

namespace {
PassOptions with_tokens(PassOptions options) {
  options.context_tokens = true;
  return options;
}
}  // namespace

LongRunPass::LongRunPass(LongRunSettings settings, PassOptions options)
    : LogPass(with_tokens(options)), settings_(std::move(settings)) {
  if (settings_.targets.empty() || settings_.replay_prefixes.empty()) {
    decline("no target to replay");
    return;
  }
  if (settings_.baseline_text) {
    if (auto saved = load_saved_state(*settings_.baseline_text)) {
      settings_.targets[0].bits = saved->second;
      baseline_.emplace(std::move(saved->first));
    } else {
      return;
    }
  }
  for (const EvalTarget& t : settings_.targets) {
    if (t.bits != 0) hash_also_at(t.bits);
  }
}

LongRunPass::~LongRunPass() = default;

const LongRunSums* LongRunPass::sums(size_t replay, size_t target) const {
  const size_t k = replay * settings_.targets.size() + target;
  return k < runs_.size() ? &runs_[k].sums : nullptr;
}

bool LongRunPass::start(uint32_t bits) {
  std::optional<std::string> baseline_text;
  if (baseline_) baseline_text = serialize(*baseline_);
  const size_t replays = settings_.replay_prefixes.size();
  runs_.reserve(replays * settings_.targets.size());
  for (size_t replay = 0; replay < replays; ++replay) {
    for (size_t k = 0; k < settings_.targets.size(); ++k) {
      EvalTarget& t = settings_.targets[k];
      if (t.bits == 0) t.bits = bits;
      const std::optional<std::string>& text = k == 0 && baseline_text ? baseline_text : t.state_text;
      Result<BanditState> state =
          text ? deserialize(*text) : create(t.bits, t.horizon, t.default_reward, t.epsilon, t.forgetfulness);
      if (!state.ok()) return false;
      runs_.emplace_back(std::move(state.value()), t.bits, t.default_reward);
    }
  }
  started_ = true;
  // Decisions pending in the saved state and resolved before this line.
  for (const auto& [id, reward, when] : early_) {
    for (Run& run : runs_) {
      if (!learn(run.state, id, reward, when, nullptr).ok()) return false;
    }
  }
  early_.clear();
  return true;
}

void LongRunPass::decision(const ReadyDecision& d) {
  ++decisions_;
  if (d.record.chosen >= d.candidates) return decline("the logged choice is not a candidate");
  if (!started_ && !start(d.bits)) return decline("no state can be made for a target");
  Pending entry;
  entry.seq = decisions_;
  entry.propensity = d.record.propensity;
  const double propensity = d.record.propensity;
  if (propensity > 0.0 && std::isfinite(propensity)) {
    if (!settings_.model.predict(d.tokens, rhat_) || rhat_.size() != d.candidates) {
      return decline("the reward model cannot predict for the decision as the Python toolkit does");
    }
    const double* rhat = rhat_.data();
    const size_t chosen = static_cast<size_t>(d.record.chosen);
    const size_t targets = settings_.targets.size();
    entry.offers.reserve(runs_.size());
    for (size_t replay = 0; replay < settings_.replay_prefixes.size(); ++replay) {
      const double u = acceptance_uniform(settings_.replay_prefixes[replay], d.record.decision_id);
      for (size_t k = 0; k < targets; ++k) {
        Run& run = runs_[replay * targets + k];
        const HashedCandidates* hashed = d.hashed_at(run.bits);
        if (hashed == nullptr) return decline("the line's candidates were not hashed at a target's bits");
        run.scale = settings_.scale;
        run.chosen = chosen;
        run.propensity = propensity;
        run.u = u;
        run.explored = run.accepted = false;
        Result<DecisionRecord> record =
            decide_hashed(run.state, scratch_, *hashed, d.record.t, d.record.salt, nullptr, &run);
        if (record.ok() != run.accepted || !run.explored) return decline("decide refuses the logged inputs");
        if (run.accepted) ++run.sums.accepted;
        double direct = 0.0;
        for (size_t a = 0; a < d.candidates; ++a) direct += run.probabilities[a] * rhat[a];
        Offer offer{direct, run.probabilities[chosen] / propensity, rhat[chosen], std::nullopt};
        if (record.ok()) offer.own.emplace(std::move(record.value().decision_id));
        entry.offers.push_back(std::move(offer));
      }
    }
  }
  auto [it, added] = pending_.try_emplace(std::string(d.record.decision_id), std::move(entry));
  if (!added) decline("the decision id is already pending");
}

bool LongRunPass::learn_saved(std::string_view id, double reward, double when) {
  if (!baseline_) return false;
  Result<std::optional<Resolution>> done = learn(*baseline_, id, reward, when, nullptr);
  if (!done.ok() || !done.value()) return false;
  if (!started_) {
    early_.emplace_back(std::string(id), reward, when);
    return true;
  }
  for (Run& run : runs_) {
    if (!learn(run.state, id, reward, when, nullptr).ok()) return false;
  }
  return true;
}

void LongRunPass::resolution(const ResolutionLine& r) {
  const bool rewarded = r.kind == ResolutionKind::rewarded;
  auto it = pending_.find(std::string(r.decision_id));
  if (it == pending_.end()) {
    // A decision made before the log began, pending in the saved state the
    // baseline continues from: it and every replayed state learn it.
    if (learn_saved(r.decision_id, r.reward, rewarded ? kNaN : kInf)) return;
    return decline("the resolution's id is not pending");
  }
  Pending entry = std::move(it->second);
  pending_.erase(it);
  ++resolved_;
  const double reward = r.reward;
  if (entry.propensity > 0.0 && std::isfinite(entry.propensity) && std::isfinite(reward)) {
    logged_seq_.push_back(static_cast<int64_t>(entry.seq));
    logged_reward_.push_back(reward);
  } else {
    ++excluded_;
  }
  for (size_t i = 0; i < entry.offers.size(); ++i) {
    Run& run = runs_[i];
    const Offer& offer = entry.offers[i];
    if (offer.own) {
      Result<std::optional<Resolution>> done = rewarded ? learn(run.state, *offer.own, reward, kNaN, nullptr)
                                                        : learn(run.state, *offer.own, run.default_reward, kInf, nullptr);
      if (!done.ok()) return decline("learn refuses the logged resolution");
    }
    if (std::isfinite(reward)) {
      const double term = offer.direct + offer.weight * (reward - offer.rhat_chosen);
      ++run.sums.count;
      run.sums.total += term;
      run.sums.total_sq += term * term;
      run.sums.terms.push_back(term);
    }
  }
}

}  // namespace sorvane::toolkit
