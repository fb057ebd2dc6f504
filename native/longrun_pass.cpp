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

// One (replay, target): its state and joint model, what it made of each
// pending decision, and the explore tap that reads its probabilities and
// draws its acceptance during one decide. With a joint model it is also
// decide's score tap and learn's train tap.
struct LongRunPass::Run final : ScoreTap, ExploreTap, TrainTap {
  // What the run made of a decision offered to it: the parts of its term,
  // and its own decision's id when it accepted.
  struct Offer {
    double direct = 0.0;
    double weight = 0.0;  // pi(logged) / propensity
    double rhat_chosen = 0.0;
    bool accepted = false;
    std::string own;
  };

  BanditState state;
  std::optional<JointModel> model;
  uint32_t bits;
  double default_reward;
  LongRunSums sums;
  std::vector<Offer> offers;  // by pending slot
  // The first step it could not take.
  uint64_t failed_line = 0;
  const char* failure = nullptr;
  // Set for one decide.
  double scale = 0.0;
  size_t chosen = 0;
  double propensity = 1.0;
  double u = 0.0;
  bool explored = false;
  bool accepted = false;
  std::vector<double> probabilities;

  Run(BanditState s, uint32_t b, double reward) : state(std::move(s)), bits(b), default_reward(reward) {}

  bool fail_at(uint64_t line, const char* why) {
    failed_line = line;
    failure = why;
    return false;
  }

  ScoreTap* scorer() { return model ? this : nullptr; }
  TrainTap* trainer() { return model ? this : nullptr; }

  Status score(const CandidateVectors& vectors, std::vector<double>& estimates) override {
    model->estimate_all(vectors, estimates);
    return Ok{};
  }

  Status train(const DecisionRecord& record, double reward) override {
    return model->train(record.features, reward);
  }

  // The probabilities (the joint model's rule, else the built-in one) over
  // the estimates, then the acceptance: an accepted decision is committed
  // steered to the logged choice, a refused one fails the decide, which
  // leaves the state as it was. A model refusing the estimates leaves
  // `explored` unset: the Python replay stops there.
  Status explore(std::span<const double> estimates, double epsilon, std::vector<double>& out) override {
    if (model) {
      if (Status shared = model->explore(estimates, epsilon, probabilities); !shared.ok()) return shared;
    } else {
      share_epsilon_greedy(estimates, greedy_candidates(estimates), epsilon, probabilities);
    }
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
constexpr size_t kNoSlot = static_cast<size_t>(-1);

PassOptions with_tokens(PassOptions options) {
  options.context_tokens = true;
  return options;
}
}  // namespace

LongRunPass::LongRunPass(LongRunSettings settings, PassOptions options)
    : LogPass(with_tokens(options)),
      settings_(std::move(settings)),
      run_workers_(options.threads),
      scratches_(options.threads == 0 ? 1 : options.threads) {
  if (settings_.targets.empty() || settings_.replay_prefixes.empty()) {
    decline("no target to replay");
    return;
  }
  settings_.models.resize(settings_.targets.size());
  saved_models_.resize(settings_.targets.size());
  for (size_t k = 0; k < settings_.models.size(); ++k) {
    if (settings_.models[k].kind != LongRunModel::Kind::saved) continue;
    Result<JointModel> loaded = JointModel::deserialize(settings_.models[k].text);
    if (!loaded.ok()) {
      decline("the joint model text does not load");
      return;
    }
    saved_models_[k].emplace(std::move(loaded.value()));
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

const char* LongRunPass::start(uint32_t bits) {
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
      if (!state.ok()) return "no state can be made for a target";
      runs_.emplace_back(std::move(state.value()), t.bits, t.default_reward);
      Run& run = runs_.back();
      run.scale = settings_.scale;
      const LongRunModel& model = settings_.models[k];
      if (model.kind == LongRunModel::Kind::fresh) {
        JointSettings joint = model.settings;
        joint.bits = t.bits;
        if (!settings_error(joint).empty()) return "no joint model can be made for a target";
        run.model.emplace(joint);
      } else if (model.kind == LongRunModel::Kind::saved) {
        // Scored at other bits than the state hashes, it would not be the Python replay's.
        if (saved_models_[k]->settings().bits != t.bits) return "the joint model's bits differ from the state's";
        run.model.emplace(*saved_models_[k]);
      }
    }
  }
  started_ = true;
  // Decisions pending in the saved state and resolved before this line.
  for (const auto& [id, reward, when] : early_) {
    for (Run& run : runs_) {
      if (!learn(run.state, id, reward, when, run.trainer()).ok()) {
        return "a replayed state refuses a resolution of the saved state";
      }
    }
  }
  early_.clear();
  return nullptr;
}

size_t LongRunPass::take_slot() {
  if (free_slots_.empty()) return slots_++;
  const size_t slot = free_slots_.back();
  free_slots_.pop_back();
  return slot;
}

void LongRunPass::decision(const ReadyDecision& d) {
  ++decisions_;
  if (d.record.chosen >= d.candidates) return decline("the logged choice is not a candidate");
  if (!started_) {
    if (const char* why = start(d.bits)) return decline(why);
  }
  Pending entry{decisions_, kNoSlot};
  const double propensity = d.record.propensity;
  if (propensity > 0.0 && std::isfinite(propensity)) {
    if (!settings_.model.predict(d.tokens, rhat_) || rhat_.size() != d.candidates) {
      return decline("the reward model cannot predict for the decision as the Python toolkit does");
    }
    for (const EvalTarget& t : settings_.targets) {
      if (d.hashed_at(t.bits) == nullptr) return decline("the line's candidates were not hashed at a target's bits");
    }
    entry.slot = take_slot();
    const size_t shared = shared_.size();
    shared_.insert(shared_.end(), rhat_.begin(), rhat_.end());
    for (const std::string& prefix : settings_.replay_prefixes)
      shared_.push_back(acceptance_uniform(prefix, d.record.decision_id));
    steps_.push_back(Step{Step::Kind::decide, lines(), &d, entry.slot, shared, 0.0, false});
  }
  auto [it, added] = pending_.try_emplace(std::string(d.record.decision_id), entry);
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
  steps_.push_back(Step{Step::Kind::learn_saved, lines(), nullptr, kNoSlot, saved_.size(), 0.0, false});
  saved_.emplace_back(std::string(id), reward, when);
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
  const Pending entry = it->second;
  pending_.erase(it);
  ++resolved_;
  const double reward = r.reward;
  if (entry.slot != kNoSlot && std::isfinite(reward)) {
    logged_seq_.push_back(static_cast<int64_t>(entry.seq));
    logged_reward_.push_back(reward);
  } else {
    ++excluded_;
  }
  if (entry.slot != kNoSlot) {
    steps_.push_back(Step{Step::Kind::resolve, lines(), nullptr, entry.slot, 0, reward, rewarded});
    // A later decision of this batch may take the slot: each run reads it
    // here before that decision writes it, since it takes the steps in order.
    free_slots_.push_back(entry.slot);
  }
}

bool LongRunPass::step_run(Run& run, size_t replay, DecideScratch& scratch) {
  for (const Step& step : steps_) {
    switch (step.kind) {
      case Step::Kind::decide: {
        const ReadyDecision& d = *step.decision;
        const double* rhat = shared_.data() + step.shared;
        const size_t chosen = static_cast<size_t>(d.record.chosen);
        run.chosen = chosen;
        run.propensity = d.record.propensity;
        run.u = rhat[d.candidates + replay];
        run.explored = run.accepted = false;
        ++run.sums.offered;
        Result<DecisionRecord> record =
            decide_hashed(run.state, scratch, *d.hashed_at(run.bits), d.record.t, d.record.salt, run.scorer(), &run);
        if (record.ok() != run.accepted || !run.explored) {
          return run.fail_at(step.line, "decide refuses the logged inputs");
        }
        double direct = 0.0;
        for (size_t a = 0; a < d.candidates; ++a) direct += run.probabilities[a] * rhat[a];
        Run::Offer& offer = run.offers[step.slot];
        offer.direct = direct;
        offer.weight = run.probabilities[chosen] / run.propensity;
        offer.rhat_chosen = rhat[chosen];
        offer.accepted = run.accepted;
        if (run.accepted) {
          ++run.sums.accepted;
          offer.own = std::move(record.value().decision_id);
        }
        break;
      }
      case Step::Kind::resolve: {
        const Run::Offer& offer = run.offers[step.slot];
        if (offer.accepted) {
          Result<std::optional<Resolution>> done =
              step.rewarded ? learn(run.state, offer.own, step.reward, kNaN, run.trainer())
                            : learn(run.state, offer.own, run.default_reward, kInf, run.trainer());
          if (!done.ok()) return run.fail_at(step.line, "learn refuses the logged resolution");
        }
        if (std::isfinite(step.reward)) {
          const double term = offer.direct + offer.weight * (step.reward - offer.rhat_chosen);
          ++run.sums.count;
          run.sums.total += term;
          run.sums.total_sq += term * term;
          run.sums.terms.push_back(term);
        }
        break;
      }
      case Step::Kind::learn_saved: {
        const auto& [id, reward, when] = saved_[step.shared];
        if (!learn(run.state, id, reward, when, run.trainer()).ok()) {
          return run.fail_at(step.line, "a replayed state refuses a resolution of the saved state");
        }
        break;
      }
    }
  }
  return true;
}

void LongRunPass::stepped() {
  if (!steps_.empty() && !declined()) {
    const size_t targets = settings_.targets.size();
    for (Run& run : runs_) {
      if (run.offers.size() < slots_) run.offers.resize(slots_);
    }
    run_workers_.start(runs_.size(), [this, targets](size_t k, size_t thread) {
      step_run(runs_[k], k / targets, scratches_[thread]);
    });
    run_workers_.finish();
    // The first line any run could not take, as a pass stepping them one
    // line after another would have stopped at it.
    const Run* first = nullptr;
    for (const Run& run : runs_) {
      if (run.failure != nullptr && (first == nullptr || run.failed_line < first->failed_line)) first = &run;
    }
    if (first != nullptr) decline_at(first->failed_line, first->failure);
  }
  steps_.clear();
  shared_.clear();
  saved_.clear();
}

}  // namespace sorvane::toolkit
