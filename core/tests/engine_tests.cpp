// The engine's own tests, without Python in the way: the model's
// arithmetic bit for bit, the facade's checks, feature hashing and the
// candidate fingerprint against their plain statements, the ledger and the
// snapshot.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <functional>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "api.hpp"
#include "fingerprint.hpp"
#include "hash.hpp"
#include "hashing.hpp"
#include "snapshot.hpp"

using namespace sorvane;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char* what, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED line %d: %s\n", line, what);
  }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

template <class T>
std::string error_of(Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().message;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

void model_construction_checks_in_order() {
  auto dim0 = LinearModel::build(0, 0.5, 1.0);
  CHECK(error_of(dim0) == "dim must be at least 1");
  auto dim0_all_bad = LinearModel::build(0, kNaN, -1.0);
  CHECK(error_of(dim0_all_bad) == "dim must be at least 1");
  for (double f : {0.0, -0.1, 1.0000001, kNaN}) {
    auto m = LinearModel::build(4, f, 1.0);
    CHECK(error_of(m) == "forgetting must be in (0, 1] (1.0 = never forget)");
  }
  for (double r : {0.0, -2.0, kNaN}) {
    auto m = LinearModel::build(4, 1.0, r);
    CHECK(error_of(m) == "ridge must be positive");
  }
  auto ok = LinearModel::build(4, 1.0, 1.0);
  CHECK(ok.ok() && ok.value().scale() == 1.0);
}

void fresh_model_estimates_zero() {
  auto m = LinearModel::build(16, 0.9, 1.0);
  const SparseVector v{{1, 3.0}, {7, -2.5}, {15, 1e300}};
  CHECK(same_bits(m.value().estimate(v), 0.0));
  CHECK(same_bits(m.value().estimate({}), 0.0));
}

void update_without_forgetting() {
  auto r = LinearModel::build(8, 1.0, 1.0);
  LinearModel& m = r.value();
  m.update(SparseVector{{3, 1.0}}, 1.0);
  CHECK(m.coordinates()[3].sq_sum == 1.0 && m.coordinates()[3].reward_sum == 1.0 && m.scale() == 1.0);
  CHECK(m.estimate(SparseVector{{3, 1.0}}) == 0.5);
  CHECK(m.estimate(SparseVector{{3, 2.0}}) == 1.0);
}

void update_with_forgetting_half() {
  auto r = LinearModel::build(8, 0.5, 1.0);
  LinearModel& m = r.value();
  m.update(SparseVector{{3, 1.0}}, 1.0);
  CHECK(m.scale() == 0.5 && m.coordinates()[3].sq_sum == 2.0 && m.coordinates()[3].reward_sum == 2.0);
  CHECK(m.estimate(SparseVector{{3, 1.0}}) == 0.5);
}

void renormalises_on_the_512th_update() {
  auto r = LinearModel::build(8, 0.5, 1.0);
  LinearModel& m = r.value();
  const SparseVector x{{2, 1.0}};
  for (int i = 0; i < 511; ++i) m.update(x, 1.0);
  CHECK(m.scale() == std::ldexp(1.0, -511));
  const double sq_before = m.coordinates()[2].sq_sum;
  const double before = m.estimate(x);
  m.update(x, 1.0);
  CHECK(m.scale() == 1.0);
  // The stored sums were multiplied by 2**-512 in place, exactly.
  const double expected_sq = ((1.0 * 1.0) * std::ldexp(1.0, 512) + sq_before) * std::ldexp(1.0, -512);
  CHECK(same_bits(m.coordinates()[2].sq_sum, expected_sq));
  CHECK(std::fabs(m.estimate(x) - before) < 1e-12);
}

void empty_update_only_shrinks_scale() {
  auto r = LinearModel::build(4, 0.25, 1.0);
  LinearModel& m = r.value();
  m.update({}, 3.0);
  CHECK(m.scale() == 0.25);
  for (int i = 0; i < 4; ++i) CHECK(m.coordinates()[i].sq_sum == 0.0 && m.coordinates()[i].reward_sum == 0.0);
}

void negative_rewards_and_sq_sums() {
  auto r = LinearModel::build(4, 0.9, 1.0);
  LinearModel& m = r.value();
  double last_sq = 0.0;
  for (int i = 0; i < 20; ++i) {
    m.update(SparseVector{{1, -3.0}}, -2.0);
    CHECK(m.coordinates()[1].reward_sum > 0.0);  // (-3) * (-2) > 0
    CHECK(m.coordinates()[1].sq_sum >= last_sq);
    last_sq = m.coordinates()[1].sq_sum;
  }
  m.update(SparseVector{{2, 1.0}}, -1.0);
  CHECK(m.coordinates()[2].reward_sum < 0.0);
}

// The estimate's operation order: a reciprocal multiplied, never a division.
void estimate_uses_the_reciprocal() {
  auto r = LinearModel::build(4, 0.7, 1.0);
  LinearModel& m = r.value();
  m.update(SparseVector{{0, 0.3}, {1, 1.7}}, 0.9);
  m.update(SparseVector{{0, 2.2}}, -0.4);
  const SparseVector x{{0, 0.9}, {1, -1.3}};
  double acc = 0.0;
  for (const FeaturePair& p : x) {
    const double d = m.coordinates()[p.index].sq_sum * m.scale() + m.ridge();
    const double t = ((m.coordinates()[p.index].reward_sum * m.scale()) * (1.0 / d)) * p.value;
    acc = acc + t;
  }
  CHECK(same_bits(m.estimate(x), acc));
}

void create_checks_in_order() {
  auto a = create(0, -1.0, 0.0, 0.05, 0.999);
  CHECK(error_of(a) == "bits must be between 1 and 24");
  auto b = create(25, 1.0, 0.0, 0.05, 0.999);
  CHECK(error_of(b) == "bits must be between 1 and 24");
  auto c = create(8, 0.0, 0.0, 2.0, 0.999);
  CHECK(error_of(c) == "horizon must be positive");
  auto d = create(8, kNaN, 0.0, 0.5, 0.999);
  CHECK(error_of(d) == "horizon must be positive");
  auto e = create(8, 1.0, 0.0, kNaN, 0.999);
  CHECK(error_of(e) == "epsilon must be in [0, 1]");
  auto f = create(8, 1.0, 0.0, 1.0, 0.0);
  CHECK(error_of(f) == "forgetting must be in (0, 1] (1.0 = never forget)");
  auto g = create(8, 1.0, kNaN, 0.0, 1.0);
  CHECK(g.ok() && std::isnan(g.value().default_reward));
  auto h = create(24, 1.0, 0.0, 0.05, 0.999);
  CHECK(h.ok() && h.value().model.dim() == 16777216 && model_bits(h.value()).value() == 24);
  auto one = create(1, 1.0, 0.0, 0.05, 0.999);
  CHECK(one.ok() && one.value().model.dim() == 2 && one.value().ledger.size() == 0 &&
        one.value().decision_count == 0 && one.value().model_version == 0);
}

void model_bits_refuses_odd_dimensions() {
  for (uint64_t dim : {uint64_t{1}, uint64_t{3}, uint64_t{6}, uint64_t{1} << 25}) {
    BanditState s(std::move(LinearModel::build(dim, 1.0, 1.0).value()));
    auto bits = model_bits(s);
    CHECK(error_of(bits) ==
          "model dimension is not 2**bits for bits in [1, 24]; the state was not built by create()");
  }
}

void fnv_zero_runs_match_bytewise() {
  const uint64_t samples[] = {0, 1, 0xFF, 0x100, 0x3FF0000000000000ULL, 0x8000000000000000ULL,
                              0x00FF00FF00FF00FFULL, 0xFFFFFFFFFFFFFFFFULL, 8636187};
  for (uint64_t v : samples) {
    unsigned char bytes[8];
    std::memcpy(bytes, &v, 8);
    CHECK(fnv1a_u64(kFnvOffset, v) == fnv1a(kFnvOffset, bytes, 8));
  }
  CHECK(fnv1a(kFnvOffset, "\x1f", 1) == 0xaf63d24c8601db8eULL);
}


// A text and a number; written out because GCC 12 warns falsely on
// "literal" + std::to_string(...).
std::string named(const char* prefix, long long k) {
  std::string s(prefix);
  s += std::to_string(k);
  return s;
}

// ---- feature hashing ---------------------------------------------------------

NamedFeature text_feature(std::string_view name, std::string_view text) {
  return {name, {FeatureKind::text, 0.0, text}};
}
NamedFeature number_feature(std::string_view name, double number) {
  return {name, {FeatureKind::number, number, {}}};
}

bool same_vector(SparseView a, SparseView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].index != b[i].index || !same_bits(a[i].value, b[i].value)) return false;
  return true;
}

void hashing_pins_known_vectors() {
  const Candidate x{"x", {}};
  CHECK(same_vector(hash_candidate({}, x, 4), SparseVector{{11, 1.0}, {14, -1.0}}));
  const std::vector<NamedFeature> context{text_feature("u", "v")};
  const std::vector<NamedFeature> features{number_feature("n", 2.0)};
  const SparseVector expected{{3849230, -1.0}, {8568293, -2.0}, {8636187, 1.0},
                              {8892730, 2.0},  {10962198, -1.0}, {11329334, -1.0}};
  CHECK(same_vector(hash_candidate(context, {"x", features}, 24), expected));
}

void hashing_ignores_absent_features_and_input_order() {
  const std::vector<NamedFeature> context{text_feature("b", "1"), number_feature("a", -0.5)};
  const std::vector<NamedFeature> reordered{number_feature("a", -0.5), {"z", {}},
                                            text_feature("b", "1")};
  const std::vector<NamedFeature> features{number_feature("w", 3.0), text_feature("k", "q")};
  const SparseVector v = hash_candidate(context, {"c", features}, 12);
  CHECK(!v.empty());
  CHECK(same_vector(v, hash_candidate(reordered, {"c", features}, 12)));
}

// Pairs that meet at one index merge; a sum of zero vanishes. At bits 1 the
// bias and identity pairs of a featureless candidate share an index for
// about half of all ids.
void hashing_merges_collisions() {
  int merged = 0, vanished = 0;
  for (int k = 0; k < 64; ++k) {
    const std::string id = named("id", k);
    const SparseVector v = hash_candidate({}, {id, {}}, 1);
    if (v.size() == 1 && v[0].value == 2.0) ++merged;
    if (v.empty()) ++vanished;
    CHECK(v.size() == 2 || (v.size() == 1 && v[0].value == 2.0) || v.empty());
  }
  CHECK(merged > 0 && vanished > 0);
}

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
    // One state for many decisions: the hasher's cache of term keys is
    // carried from one context to the next.
    for (int round = 0; round < 60; ++round) {
      RandomDecision d = random_decision(rng);
      RecordingScore score;
      auto record = decide(state.value(), d.context, d.candidates, 0.0, "s", &score, nullptr);
      CHECK(record.ok());
      if (!record.ok()) continue;
      bool all_same = score.seen.size() == d.candidates.size();
      for (size_t c = 0; all_same && c < d.candidates.size(); ++c)
        all_same = same_vector(score.seen[c], hash_candidate(d.context, d.candidates[c], bits));
      CHECK(all_same);
      CHECK(record.value().candidate_hash ==
            candidate_fingerprint(score.seen, uint64_t{1} << bits));
      // Without a tap the model estimates, along the same loops.
      auto plain = decide(state.value(), d.context, d.candidates, 0.0, "s", nullptr, nullptr);
      CHECK(plain.ok() && plain.value().candidate_hash == record.value().candidate_hash);
    }
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
      auto a = decide(direct.value(), d.context, d.candidates, round, "s", nullptr, nullptr);
      auto b = decide_hashed(ahead.value(), hashed, round, "s", nullptr, nullptr);
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
    auto refused = decide_hashed(ahead.value(), hashed, 0.0, "s", nullptr, nullptr);
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

// ---- the fingerprint -------------------------------------------------------------

void fingerprint_pins_a_known_value() {
  CandidateVectors v;
  v.pairs = {{11, 1.0}, {14, -1.0}};
  v.ends = {2};
  CHECK(candidate_fingerprint(v, 16) == 0x4dbd40a61fb1556fULL);
  // The rule spelled out in bytes.
  std::vector<unsigned char> bytes;
  auto word = [&](uint64_t w) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(w >> (8 * i)));
  };
  word(1), word(16), word(2), word(11), word(std::bit_cast<uint64_t>(1.0)), word(14),
      word(std::bit_cast<uint64_t>(-1.0));
  CHECK(fnv1a(kFnvOffset, bytes.data(), bytes.size()) == 0x4dbd40a61fb1556fULL);
}

// Up to four candidates of up to 40 pairs, some empty, with indices at and
// above 2**24 and values with and without zero bytes.
CandidateVectors random_vectors(std::mt19937_64& rng) {
  CandidateVectors v;
  const size_t n = rng() % 5;
  for (size_t c = 0; c < n; ++c) {
    const size_t pairs = rng() % 40;
    uint64_t index = rng() % 3;
    for (size_t k = 0; k < pairs; ++k) {
      index += 1 + (rng() % 2 ? rng() % 100 : rng() % (uint64_t{1} << 26));
      const double value = rng() % 2 ? static_cast<double>(rng() % 5) - 2.0 + 0.5
                                     : std::bit_cast<double>(rng() >> 2);
      v.pairs.push_back({index, value});
    }
    v.ends.push_back(v.pairs.size());
  }
  return v;
}

// The chain gives the rule's hash however its steps are spread: none, some
// or all of the pairs stepped by a cursor before the rest is drained.
void fingerprint_chain_matches_the_rule() {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 200; ++round) {
    CandidateVectors v = random_vectors(rng);
    const size_t n = v.size();
    const uint64_t dim = uint64_t{1} << (1 + rng() % 40);
    FingerprintChain chain(n);
    for (size_t c = 0; c < n; ++c) {
      const size_t begin = c == 0 ? 0 : v.ends[c - 1];
      chain.add(dim, v.pairs, begin, v.ends[c]);
      FingerprintChain::Cursor cursor = chain.take();
      const size_t steps = rng() % 50;
      for (size_t k = 0; k < steps; ++k) cursor.step();
      chain.put(cursor);
    }
    CHECK(chain.value() == candidate_fingerprint(v, dim));
  }
}

// Fingerprints made four at a time are the rule's, for any number of
// decisions of any sizes: chains that end early, absent ones, empty ones.
void fingerprints_side_by_side_match_the_rule() {
  std::mt19937_64 rng(29);
  for (int round = 0; round < 200; ++round) {
    const size_t count = rng() % 10;
    std::vector<CandidateVectors> vectors(count);
    std::vector<const CandidateVectors*> pointers;
    std::vector<uint64_t> dims;
    for (CandidateVectors& v : vectors) {
      v = random_vectors(rng);
      pointers.push_back(&v);
      dims.push_back(uint64_t{1} << (1 + rng() % 40));
    }
    std::vector<uint64_t> out(count, 0);
    candidate_fingerprints(pointers, dims, out);
    bool all_same = true;
    for (size_t k = 0; k < count; ++k) all_same = all_same && out[k] == candidate_fingerprint(vectors[k], dims[k]);
    CHECK(all_same);
  }
}

// ---- the ledger ------------------------------------------------------------------

DecisionRecord record_with(std::string id, double t) {
  DecisionRecord r;
  r.decision_id = std::move(id);
  r.t = t;
  r.features = {{1, 0.5}};
  return r;
}

std::vector<std::string> ledger_ids(const Ledger& ledger) {
  std::vector<std::string> ids;
  ledger.for_each([&](const DecisionRecord& r) { ids.push_back(r.decision_id); });
  return ids;
}

// Takes by id, duplicates first in ledger order, and the order of what is
// left, through enough removals that the holes are compacted and the index
// grows and shrinks its probe runs.
void ledger_keeps_order_through_removals() {
  Ledger ledger;
  std::vector<std::pair<std::string, double>> expected;  // id, t
  for (int k = 0; k < 3000; ++k) {
    const std::string id = named("d", k % 1000);  // every id three times
    ledger.append(record_with(id, k));
    expected.push_back({id, k});
  }
  std::mt19937_64 rng(3);
  for (int k = 0; k < 2500; ++k) {
    const std::string id = named("d", static_cast<long long>(rng() % 1000));
    auto removed = ledger.take(id);
    auto first = std::find_if(expected.begin(), expected.end(),
                              [&](const auto& e) { return e.first == id; });
    CHECK(removed.has_value() == (first != expected.end()));
    if (!removed) continue;
    CHECK(removed->record().decision_id == id && removed->record().t == first->second);
    expected.erase(first);
    ledger.compact_if_sparse();
  }
  CHECK(ledger.size() == expected.size());
  std::vector<std::string> ids;
  for (const auto& e : expected) ids.push_back(e.first);
  CHECK(ledger_ids(ledger) == ids);
  CHECK(!ledger.take("never issued").has_value());
}

// The first pending record with an id is the one taken: its time tells.
void ledger_takes_the_first_of_equal_ids() {
  Ledger ledger;
  for (int k = 0; k < 5; ++k) ledger.append(record_with("same", k));
  for (int k = 0; k < 5; ++k) {
    auto removed = ledger.take("same");
    CHECK(removed && removed->record().t == k);
  }
  CHECK(ledger.size() == 0 && !ledger.take("same"));
}

void expire_resolves_due_records_in_order() {
  auto state = create(4, 10.0, -1.0, 0.0, 1.0);
  BanditState& s = state.value();
  for (double t : {0.0, 5.0, 1.0, 20.0}) s.ledger.append(record_with(named("r", static_cast<long long>(t)), t));
  auto none = expire(s, 9.5, nullptr);
  CHECK(none.ok() && none.value().empty() && s.model_version == 0);
  auto due = expire(s, 11.0, nullptr);
  CHECK(due.ok() && due.value().size() == 2 && s.model_version == 2);
  CHECK(due.value()[0].decision_id == "r0" && due.value()[1].decision_id == "r1");
  CHECK(due.value()[0].kind == ResolutionKind::expired && due.value()[0].reward == -1.0);
  CHECK((ledger_ids(s.ledger) == std::vector<std::string>{"r5", "r20"}));
  // learn at exactly t + horizon is expired; just before it, rewarded.
  auto late = learn(s, "r5", 3.0, 15.0, nullptr);
  CHECK(late.ok() && late.value() && late.value()->kind == ResolutionKind::expired &&
        late.value()->reward == -1.0);
  auto in_time = learn(s, "r20", 3.0, std::nextafter(30.0, 0.0), nullptr);
  CHECK(in_time.ok() && in_time.value() && in_time.value()->kind == ResolutionKind::rewarded &&
        in_time.value()->reward == 3.0);
  auto again = learn(s, "r20", 3.0, 0.0, nullptr);
  CHECK(again.ok() && !again.value() && s.model_version == 4);
}

// Salts a host could pick so that every id (salt, a colon, the count) lands
// in one run of buckets of an index probing on the low bits of std::hash:
// the low `bits` bits of each id's std::hash are below `window`.
std::vector<std::string> salts_piling_ids(size_t count, unsigned bits, uint64_t window) {
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  std::vector<std::string> salts;
  std::string id;
  long long k = 0;
  for (size_t n = 0; n < count; ++n) {
    const std::string suffix = named(":", static_cast<long long>(n));
    for (;; ++k) {
      id = named("h", k);
      const size_t salt_size = id.size();
      id += suffix;
      if ((std::hash<std::string>{}(id) & mask) < window) {
        salts.push_back(id.substr(0, salt_size));
        ++k;
        break;
      }
    }
  }
  return salts;
}

// Seconds to decide with each salt, load the state back from its text,
// learn every id on the loaded state and expire every record of the first.
double ledger_round_seconds(const std::vector<std::string>& salts) {
  const auto start = std::chrono::steady_clock::now();
  auto state = create(4, 10.0, 0.0, 0.1, 1.0);
  const NamedFeature none[1] = {};
  const Candidate candidates[1] = {{"only", {}}};
  std::vector<std::string> ids;
  for (const std::string& salt : salts) {
    auto record = decide(state.value(), std::span(none, 0), candidates, 0.0, salt, nullptr, nullptr);
    if (!record.ok()) return 1e9;
    ids.push_back(record.value().decision_id);
  }
  auto loaded = deserialize(serialize(state.value()));
  if (!loaded.ok()) return 1e9;
  size_t learned = 0;
  for (const std::string& id : ids) learned += learn(loaded.value(), id, 1.0, 0.0, nullptr).value().has_value();
  auto expired = expire(state.value(), 100.0, nullptr);
  CHECK(learned == ids.size() && expired.ok() && expired.value().size() == ids.size());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ids a host chose to collide in the index cost what random ids cost: the
// index's hash is not one the host can aim at.
void ledger_index_withstands_crafted_ids() {
  constexpr size_t kCount = 32768;  // the index then has 2**16 buckets
  const std::vector<std::string> crafted = salts_piling_ids(kCount, 16, 64);
  std::vector<std::string> plain;
  std::mt19937_64 rng(29);
  for (size_t n = 0; n < kCount; ++n) plain.push_back(named("r", static_cast<long long>(rng() >> 20)));
  double crafted_best = 1e9, plain_best = 1e9;
  for (int round = 0; round < 2; ++round) {
    crafted_best = std::min(crafted_best, ledger_round_seconds(crafted));
    plain_best = std::min(plain_best, ledger_round_seconds(plain));
  }
  std::printf("ledger with %zu crafted ids: %.3f s, random ids: %.3f s\n", kCount, crafted_best, plain_best);
  CHECK(crafted_best < 3.0 * plain_best + 0.25);
}

// ---- the snapshot ----------------------------------------------------------------

std::string hex_of(const std::vector<unsigned char>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

std::vector<unsigned char> bytes_of(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Rewrites the checksum after an edit, so that the check after it is reached.
std::string resealed(std::vector<unsigned char> bytes) {
  const size_t body = bytes.size() - snapshot::kChecksumBytes;
  const uint64_t h = fnv1a(kFnvOffset, bytes.data(), body);
  std::memcpy(bytes.data() + body, &h, 8);
  return hex_of(bytes);
}

void snapshot_layout_sizes() {
  auto fresh = create(1, 1.0, 0.0, 0.05, 0.999);
  CHECK(serialize(fresh.value()).size() == 2 * 136);
  auto state = create(6, 1.0, 0.0, 0.05, 0.999);
  std::vector<NamedFeature> context{text_feature("u", "v")};
  std::vector<Candidate> candidates{{"x", {}}, {"y", {}}};
  auto record = decide(state.value(), context, candidates, 0.0, "salt", nullptr, nullptr);
  CHECK(record.ok());
  const size_t expected = snapshot::kFixedBytes + 64 * snapshot::kCoordinateBytes +
                          snapshot::record_bytes(record.value());
  CHECK(serialize(state.value()).size() == 2 * expected);
  CHECK(snapshot::record_bytes(record.value()) ==
        64 + 6 + 4 + 16 * record.value().features.size());
}

void snapshot_round_trips_bit_for_bit() {
  auto made = create(8, 2.0, kNaN, 0.25, 0.75);
  BanditState& s = made.value();
  std::vector<NamedFeature> context{text_feature("u", "v"), number_feature("w", -0.0)};
  std::vector<Candidate> candidates{{"x", {}}, {"y", context}};
  for (int k = 0; k < 6; ++k) {
    auto r = decide(s, context, candidates, k, "s\xc3\xa9", nullptr, nullptr);
    CHECK(r.ok());
    if (k % 2) CHECK(learn(s, r.value().decision_id, std::bit_cast<double>(0x7ff8dead00000001ULL), k, nullptr).ok());
  }
  const std::string text = serialize(s);
  std::string upper = text;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return std::toupper(c); });
  auto loaded = deserialize(upper);
  CHECK(loaded.ok() && serialize(loaded.value()) == text);
  CHECK(loaded.ok() && loaded.value().ledger.size() == 3 && std::isnan(loaded.value().default_reward));
  // In pieces, the same text.
  struct Gather final : TextSink {
    std::string text;
    size_t pieces = 0;
    void write(std::string_view piece) override { text += piece, ++pieces; }
  } gathered;
  serialize(s, gathered);
  CHECK(gathered.text == text && gathered.pieces == 1);
}

void snapshot_checks_in_order() {
  auto made = create(2, 1.0, 0.0, 0.5, 1.0);
  std::vector<NamedFeature> none;
  std::vector<Candidate> candidates{{"x", {}}};
  CHECK(decide(made.value(), none, candidates, 0.0, "s", nullptr, nullptr).ok());
  const std::vector<unsigned char> good = bytes_of(serialize(made.value()));
  auto error = [](const std::string& text) {
    auto r = deserialize(text);
    return error_of(r);
  };
  CHECK(error("") == "truncated state");
  CHECK(error("abc") == "state must be a hexadecimal string");
  CHECK(error(hex_of(good) + "g0") == "state must be a hexadecimal string");
  CHECK(error(hex_of(std::vector<unsigned char>(23, 0))) == "truncated state");
  CHECK(error(hex_of(std::vector<unsigned char>(24, 0))) == "not a sorvane state (bad magic)");
  std::vector<unsigned char> flipped = good;
  flipped[40] ^= 1;
  CHECK(error(hex_of(flipped)) == "state checksum mismatch");
  std::vector<unsigned char> edited = good;
  edited[8] = 2;
  CHECK(error(resealed(edited)) == "unsupported state format version 2");
  edited = good;
  std::memset(edited.data() + 16, 0, 8);
  CHECK(error(resealed(edited)) == "dim must be at least 1");
  const size_t records = snapshot::kPreambleBytes + snapshot::kModelFieldsBytes +
                         4 * snapshot::kCoordinateBytes + snapshot::kStateFieldsBytes;
  edited = good;
  edited.insert(edited.end() - 8, 0);
  CHECK(error(resealed(edited)) == "trailing bytes in state");
  edited = good;
  edited[records - 8] = 2;  // record count
  CHECK(error(resealed(edited)) == "truncated state");
  edited = good;
  edited[records + 8] = 0xFF;  // the id's first byte
  CHECK(error(resealed(edited)) == "state string is not valid UTF-8");
  CHECK(error(hex_of(good)) == "<ok>");
}

}  // namespace

int main() {
  model_construction_checks_in_order();
  fresh_model_estimates_zero();
  update_without_forgetting();
  update_with_forgetting_half();
  renormalises_on_the_512th_update();
  empty_update_only_shrinks_scale();
  negative_rewards_and_sq_sums();
  estimate_uses_the_reciprocal();
  create_checks_in_order();
  model_bits_refuses_odd_dimensions();
  fnv_zero_runs_match_bytewise();
  hashing_pins_known_vectors();
  hashing_ignores_absent_features_and_input_order();
  hashing_merges_collisions();
  decisions_match_the_plain_rules();
  hashed_decisions_match_decide();
  fingerprint_pins_a_known_value();
  fingerprint_chain_matches_the_rule();
  fingerprints_side_by_side_match_the_rule();
  ledger_keeps_order_through_removals();
  ledger_takes_the_first_of_equal_ids();
  expire_resolves_due_records_in_order();
  ledger_index_withstands_crafted_ids();
  snapshot_layout_sizes();
  snapshot_round_trips_bit_for_bit();
  snapshot_checks_in_order();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
