// Decisions against the plain rules: decide's fused loops give
// hash_candidate's vectors and candidate_fingerprint's hash, and candidates
// hashed ahead decide exactly as decide does.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "api.hpp"
#include "bandit_state.hpp"
#include "check.hpp"
#include "epsilon_greedy.hpp"
#include "fingerprint.hpp"
#include "hashed_decide.hpp"
#include "hashing.hpp"

using namespace sorvane;
using namespace sorvane::testing;

namespace {

// Random inputs of many shapes: the texts and names come from a small
// alphabet so that candidates share terms and pairs collide.
struct RandomDecision {
  std::vector<std::string> texts;  // storage the features view
  std::vector<NamedFeature> context;
  std::vector<std::vector<NamedFeature>> features;
  std::vector<std::string> ids;
  std::vector<Candidate> candidates;
};

RandomDecision random_decision(std::mt19937_64& rng) {
  RandomDecision d;
  d.texts.reserve(4096);
  auto text = [&](size_t max_len) -> std::string_view {
    std::string t;
    const size_t n = rng() % (max_len + 1);
    for (size_t i = 0; i < n; ++i) t.push_back("ab\x1f|=\xc3\xa9z"[rng() % 8]);
    d.texts.push_back(t);
    return d.texts.back();
  };
  auto feature_list = [&](size_t max_n) {
    std::vector<NamedFeature> out;
    const size_t n = rng() % (max_n + 1);
    for (size_t i = 0; i < n; ++i) {
      const std::string_view name = text(3);
      switch (rng() % 4) {
        case 0: out.push_back({name, {}}); break;
        case 1: out.push_back(text_feature(name, text(6))); break;
        case 2: out.push_back(number_feature(name, static_cast<double>(rng() % 7) - 3.0)); break;
        default: out.push_back(number_feature(name, std::ldexp(static_cast<double>(rng() % 1000), -7))); break;
      }
    }
    return out;
  };
  d.context = feature_list(12);
  const size_t n = 1 + rng() % 12;
  for (size_t c = 0; c < n; ++c) {
    d.features.push_back(feature_list(8));
    d.ids.push_back(std::string(text(4)));
  }
  for (size_t c = 0; c < n; ++c) d.candidates.push_back({d.ids[c], d.features[c]});
  return d;
}

// The decision's fused loops (decide.cpp) against the plain rules: every
// candidate's vector against hash_candidate, through a score tap that sees
// them all, and candidate_hash against candidate_fingerprint.
struct RecordingScore final : ScoreTap {
  CandidateVectors seen;
  Status score(const CandidateVectors& vectors, std::vector<double>& estimates) override {
    seen = vectors;
    estimates.assign(vectors.size(), 0.0);
    return Ok{};
  }
};

void decisions_match_the_plain_rules() {
  std::mt19937_64 rng(17);
  for (uint32_t bits : {1u, 3u, 8u, 18u, 24u}) {
    auto state = create(bits, 1.0, 0.0, 0.1, 1.0);
    // One state and one scratch for many decisions: the hasher's cache of
    // term keys is carried from one context to the next.
    DecideScratch scratch;
    for (int round = 0; round < 60; ++round) {
      RandomDecision d = random_decision(rng);
      RecordingScore score;
      auto record = decide(state.value(), scratch, d.context, d.candidates, 0.0, "s", &score, nullptr);
      CHECK(record.ok());
      if (!record.ok()) continue;
      bool all_same = score.seen.size() == d.candidates.size();
      for (size_t c = 0; all_same && c < d.candidates.size(); ++c)
        all_same = same_vector(score.seen[c], hash_candidate(d.context, d.candidates[c], bits));
      CHECK(all_same);
      CHECK(record.value().candidate_hash ==
            candidate_fingerprint(score.seen, uint64_t{1} << bits));
      // Without a tap the model estimates, along the same loops.
      auto plain = decide(state.value(), scratch, d.context, d.candidates, 0.0, "s", nullptr, nullptr);
      CHECK(plain.ok() && plain.value().candidate_hash == record.value().candidate_hash);
    }
  }
}

// epsilon-greedy in two steps (the greedy candidates once, then one
// epsilon's shares, as the evaluation applies several epsilons) gives the
// whole rule's bits: ties share the greedy part, a NaN first estimate ties
// with nothing, a later NaN is passed over.
void epsilon_greedy_in_two_steps_is_the_rule() {
  const std::vector<std::vector<double>> cases = {
      {0.5}, {1.0, 2.0, 2.0, -1.0}, {3.0, 3.0, 3.0}, {kNaN, 1.0, 2.0}, {1.0, kNaN, 1.0}, {-0.0, 0.0, -1.0}};
  for (const std::vector<double>& estimates : cases) {
    const GreedyCandidates greedy = greedy_candidates(estimates);
    for (double epsilon : {0.0, 0.1, 1.0 / 3.0, 1.0}) {
      std::vector<double> whole, shared;
      CHECK(epsilon_greedy(estimates, epsilon, whole).ok());
      share_epsilon_greedy(estimates, greedy, epsilon, shared);
      bool same = whole.size() == shared.size();
      for (size_t i = 0; same && i < whole.size(); ++i) same = same_bits(whole[i], shared[i]);
      CHECK(same);
    }
  }
  CHECK(greedy_candidates(std::vector<double>{kNaN, 1.0}).ties == 0);
  CHECK(greedy_candidates(std::vector<double>{1.0, kNaN, 1.0}).ties == 2);
  std::vector<double> p;
  CHECK(epsilon_greedy(std::vector<double>{1.0, 2.0}, 0.2, p).ok() && p[0] == 0.1 && p[1] == 0.8 + 0.1);
  CHECK(epsilon_greedy(std::vector<double>{kNaN, 2.0}, 0.2, p).ok() && p[0] == 0.1 && p[1] == 0.1);
  Status none = epsilon_greedy({}, 0.2, p);
  CHECK(error_of(none) == "need at least one candidate");
  Status wide = epsilon_greedy(std::vector<double>{1.0}, 1.5, p);
  CHECK(error_of(wide) == "epsilon must be in [0, 1]");
}

// The room decide makes before hashing is enough: with max_pairs free, a
// candidate's pairs fit without moving what the vector held, which the
// fingerprint chain's cursor reads while the hashing runs.
void hashing_stays_within_max_pairs() {
  std::mt19937_64 rng(31);
  FeatureHasher hasher;
  for (int round = 0; round < 200; ++round) {
    RandomDecision d = random_decision(rng);
    hasher.set_context(d.context);
    SparseVector out{{0, 1.0}};
    bool all_fit = true;
    for (const Candidate& c : d.candidates) {
      out.reserve(out.size() + hasher.max_pairs(c));
      const FeaturePair* before = out.data();
      const size_t size = out.size();
      const uint32_t bits = 1 + static_cast<uint32_t>(rng() % 24);
      hasher.hash_into(c, bits, out);
      all_fit = all_fit && out.data() == before && out.size() - size <= hasher.max_pairs(c);
    }
    CHECK(all_fit);
  }
}

// Candidates hashed ahead of the decision, by a hasher of their own, decide
// as decide does on the inputs: two states fed the same history stay equal,
// record for record and in their snapshots.
bool same_record(const DecisionRecord& a, const DecisionRecord& b) {
  return a.decision_id == b.decision_id && same_bits(a.t, b.t) && a.candidate_hash == b.candidate_hash &&
         a.chosen == b.chosen && same_vector(a.features, b.features) && same_bits(a.propensity, b.propensity) &&
         a.model_version == b.model_version && a.salt == b.salt;
}

void hashed_decisions_match_decide() {
  std::mt19937_64 rng(23);
  for (uint32_t bits : {1u, 6u, 18u, 24u}) {
    auto direct = create(bits, 1.0, 0.0, 0.2, 0.99);
    auto ahead = create(bits, 1.0, 0.0, 0.2, 0.99);
    // Both states decide with one scratch, one decision at a time.
    DecideScratch scratch;
    FeatureHasher hasher;
    HashedCandidates hashed;
    for (int round = 0; round < 80; ++round) {
      RandomDecision d = random_decision(rng);
      CHECK(hash_candidates(hasher, bits, d.context, d.candidates, hashed).ok());
      // Half the fingerprints are made ahead, the others by decide_hashed.
      if (round % 2 == 0) {
        HashedCandidates* one[] = {&hashed};
        fingerprint_hashed(one);
        CHECK(hashed.fingerprint == candidate_fingerprint(hashed.vectors, uint64_t{1} << bits));
      }
      auto a = decide(direct.value(), scratch, d.context, d.candidates, round, "s", nullptr, nullptr);
      auto b = decide_hashed(ahead.value(), scratch, hashed, round, "s", nullptr, nullptr);
      CHECK(a.ok() == b.ok());
      if (!a.ok() || !b.ok()) continue;
      CHECK(same_record(a.value(), b.value()));
      // Learning keeps the models apart from zero, so the estimates matter.
      const double reward = static_cast<double>(rng() % 3);
      CHECK(learn(direct.value(), a.value().decision_id, reward, round, nullptr).ok());
      CHECK(learn(ahead.value(), b.value().decision_id, reward, round, nullptr).ok());
    }
    CHECK(serialize(direct.value()) == serialize(ahead.value()));
    // Vectors of other bits are refused and change nothing.
    const uint32_t other = bits == 24 ? 23 : bits + 1;
    RandomDecision d = random_decision(rng);
    CHECK(hash_candidates(hasher, other, d.context, d.candidates, hashed).ok());
    const uint64_t count = ahead.value().decision_count;
    auto refused = decide_hashed(ahead.value(), scratch, hashed, 0.0, "s", nullptr, nullptr);
    CHECK(error_of(refused) == "the candidates were hashed at other bits than the state's");
    CHECK(ahead.value().decision_count == count);
  }
  FeatureHasher hasher;
  HashedCandidates hashed;
  for (uint32_t bits : {0u, 25u}) {
    Status s = hash_candidates(hasher, bits, {}, {}, hashed);
    CHECK(!s.ok() && s.error().message == "bits must be between 1 and 24");
  }
}

}  // namespace

void run_decide_tests() {
  decisions_match_the_plain_rules();
  hashing_stays_within_max_pairs();
  epsilon_greedy_in_two_steps_is_the_rule();
  hashed_decisions_match_decide();
}
