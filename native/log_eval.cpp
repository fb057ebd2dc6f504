#include "log_eval.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "epsilon_greedy.hpp"

namespace sorvane::toolkit {

namespace {

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// sum(map(mul, probabilities, estimates)) as the interpreter computes it:
// its int start 0 plus the first product is that product (or +0.0 for a
// -0.0), then each product is added in turn; from 3.12 on, with Neumaier's
// compensation added at the end when it is finite and nonzero.
double python_sum_of_products(std::span<const double> p, std::span<const double> e, bool compensated) {
  if (p.empty()) return 0.0;
  double sum = 0.0 + p[0] * e[0];
  double c = 0.0;
  for (size_t i = 1; i < p.size(); ++i) {
    const double x = p[i] * e[i];
    if (!compensated) {
      sum += x;
      continue;
    }
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x)) {
      c += (sum - t) + x;
    } else {
      c += (x - t) + sum;
    }
    sum = t;
  }
  if (compensated && c != 0.0 && std::isfinite(c)) sum += c;
  return sum;
}

}  // namespace

struct LogEvaluation::Learner final : ExploreTap {
  BanditState state;
  uint32_t bits;
  std::vector<size_t> targets;  // indices into the evaluation's targets
  std::vector<double> epsilons;
  double default_reward;
  bool compensated_sum;
  // Set for one decide: the logged choice, and where each target's view goes.
  uint64_t chosen = 0;
  Seen* seen = nullptr;
  std::vector<double> probabilities;

  Learner(BanditState s, uint32_t b, double reward, bool compensated)
      : state(std::move(s)), bits(b), default_reward(reward), compensated_sum(compensated) {}

  // The targets' built-in probabilities from the estimates (the greedy
  // candidates found once for all epsilons), then all probability on the
  // logged choice. decide calls this only with candidates, and create has
  // checked every target's epsilon.
  Status explore(std::span<const double> estimates, double, std::vector<double>& out) override {
    const size_t n = estimates.size();
    const size_t a = static_cast<size_t>(chosen);
    const GreedyCandidates greedy = greedy_candidates(estimates);
    for (size_t k = 0; k < epsilons.size(); ++k) {
      share_epsilon_greedy(estimates, greedy, epsilons[k], probabilities);
      seen[k] = {probabilities[a], python_sum_of_products(probabilities, estimates, compensated_sum),
                 estimates[a]};
    }
    out.assign(n, 0.0);
    out[a] = 1.0;
    return Ok{};
  }
};

LogEvaluation::LogEvaluation(std::vector<EvalTarget> targets, bool compensated_sum, uint32_t max_bits,
                             PassOptions options)
    : LogPass(options), targets_(std::move(targets)), compensated_sum_(compensated_sum), max_bits_(max_bits),
      terms_(targets_.size()) {
  if (targets_.empty()) {
    decline("no target to evaluate");
    return;
  }
  for (size_t k = 1; k < targets_.size(); ++k) {
    if (targets_[k].state_text) {
      decline("only the baseline may continue a saved state");
      return;
    }
  }
  if (targets_[0].state_text) {
    if (auto saved = load_saved_state(*targets_[0].state_text)) {
      targets_[0].bits = saved->second;
      baseline_state_.emplace(std::move(saved->first));
    }
  }
  // Targets that leave their bits open take the log's, at which every line
  // is hashed anyway.
  for (const EvalTarget& t : targets_) {
    if (t.bits != 0) hash_also_at(t.bits);
  }
}

LogEvaluation::~LogEvaluation() = default;

bool LogEvaluation::make_learners(uint32_t bits) {
  // Grouped as the Python evaluation groups them: the baseline with a saved
  // state alone, the others by bits and the bit patterns of forgetfulness
  // and default reward, each group's state made with its first target's
  // configuration.
  struct Key {
    uint32_t bits;
    uint64_t forgetfulness;
    uint64_t default_reward;
    size_t learner;
  };
  std::vector<Key> keys;
  for (size_t k = 0; k < targets_.size(); ++k) {
    EvalTarget& t = targets_[k];
    if (t.bits == 0) t.bits = bits;
    if (k == 0 && baseline_state_) {
      learners_.emplace_back(std::move(*baseline_state_), t.bits, t.default_reward, compensated_sum_);
      baseline_state_.reset();
      learners_.back().targets.push_back(k);
      continue;
    }
    const Key key{t.bits, bits_of(t.forgetfulness), bits_of(t.default_reward), 0};
    Learner* learner = nullptr;
    for (const Key& seen : keys) {
      if (seen.bits == key.bits && seen.forgetfulness == key.forgetfulness &&
          seen.default_reward == key.default_reward) {
        learner = &learners_[seen.learner];
      }
    }
    if (learner == nullptr) {
      if (t.bits > max_bits_) return false;
      Result<BanditState> state = create(t.bits, t.horizon, t.default_reward, t.epsilon, t.forgetfulness);
      if (!state.ok()) return false;
      keys.push_back({key.bits, key.forgetfulness, key.default_reward, learners_.size()});
      learners_.emplace_back(std::move(state.value()), t.bits, t.default_reward, compensated_sum_);
      learner = &learners_.back();
    }
    learner->targets.push_back(k);
  }
  for (Learner& learner : learners_) {
    for (size_t k : learner.targets) learner.epsilons.push_back(targets_[k].epsilon);
  }
  have_learners_ = true;
  return true;
}

void LogEvaluation::decision(const ReadyDecision& d) {
  ++decisions_;
  if (d.record.chosen >= d.candidates) return decline("the logged choice is not a candidate");
  if (!have_learners_ && !make_learners(d.bits)) return decline("no state can be made for a target");
  Pending entry;
  entry.seq = decisions_;
  entry.propensity = d.record.propensity;
  entry.ids.reserve(learners_.size());
  entry.seen.resize(targets_.size());
  // Each learner's view goes to its targets' places, which learners_
  // order keeps apart: seen is laid out learner after learner.
  size_t at = 0;
  for (Learner& learner : learners_) {
    const HashedCandidates* hashed = d.hashed_at(learner.bits);
    if (hashed == nullptr) return decline("the line's candidates were not hashed at a target's bits");
    learner.chosen = d.record.chosen;
    learner.seen = entry.seen.data() + at;
    Result<DecisionRecord> record =
        decide_hashed(learner.state, scratch_, *hashed, d.record.t, d.record.salt, nullptr, &learner);
    learner.seen = nullptr;
    if (!record.ok()) return decline("decide refuses the logged inputs");
    entry.ids.push_back(std::move(record.value().decision_id));
    at += learner.targets.size();
  }
  auto [it, added] = pending_.try_emplace(std::string(d.record.decision_id), std::move(entry));
  if (!added) decline("the decision id is already pending");
}

void LogEvaluation::resolution(const ResolutionLine& r) {
  auto it = pending_.find(std::string(r.decision_id));
  if (it == pending_.end()) {
    // A decision made before the log began, pending in the saved state the
    // baseline continues from: the baseline learns it; nothing else can.
    if (have_learners_ && targets_[0].state_text) {
      Learner& baseline = learners_[0];
      const bool rewarded = r.kind == ResolutionKind::rewarded;
      Result<std::optional<Resolution>> done =
          learn(baseline.state, r.decision_id, r.reward,
                rewarded ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity(),
                nullptr);
      if (done.ok() && done.value()) return;
    } else if (baseline_state_) {
      const bool rewarded = r.kind == ResolutionKind::rewarded;
      Result<std::optional<Resolution>> done =
          learn(*baseline_state_, r.decision_id, r.reward,
                rewarded ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity(),
                nullptr);
      if (done.ok() && done.value()) return;
    }
    return decline("the resolution's id is not pending");
  }
  Pending entry = std::move(it->second);
  pending_.erase(it);
  ++resolved_;
  const double reward = r.reward;
  const bool usable = entry.propensity > 0.0 && std::isfinite(entry.propensity) && std::isfinite(reward);
  if (!usable) ++excluded_;
  const bool rewarded = r.kind == ResolutionKind::rewarded;
  size_t at = 0;
  for (size_t l = 0; l < learners_.size(); ++l) {
    Learner& learner = learners_[l];
    Result<std::optional<Resolution>> done =
        rewarded ? learn(learner.state, entry.ids[l], reward, std::numeric_limits<double>::quiet_NaN(), nullptr)
                 : learn(learner.state, entry.ids[l], learner.default_reward,
                         std::numeric_limits<double>::infinity(), nullptr);
    if (!done.ok()) return decline("learn refuses the logged resolution");
    if (usable) {
      for (size_t k = 0; k < learner.targets.size(); ++k) {
        const Seen& s = entry.seen[at + k];
        TargetTerms& terms = terms_[learner.targets[k]];
        terms.seq.push_back(static_cast<int64_t>(entry.seq));
        terms.w.push_back(s.pi / entry.propensity);
        terms.r.push_back(reward);
        terms.dm.push_back(s.dm);
        terms.q.push_back(s.q);
      }
    }
    at += learner.targets.size();
  }
}

}  // namespace sorvane::toolkit
