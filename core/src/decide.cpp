// The facade's decide and the three hashed-decide operations
// (hashed_decide.hpp), and the buffers both reuse.
#include "decide.hpp"

#include <algorithm>
#include <cmath>

#include "bandit_state.hpp"
#include "config.hpp"
#include "epsilon_greedy.hpp"
#include "fingerprint.hpp"
#include "fingerprint_chain.hpp"
#include "fingerprint_wide.hpp"
#include "hash.hpp"
#include "hashed_decide.hpp"
#include "model_estimate.hpp"

namespace sorvane {

namespace {

Status check_vectors(const CandidateVectors& vectors, uint64_t dim) {
  for (size_t c = 0; c < vectors.size(); ++c) {
    bool first = true;
    uint64_t previous = 0;
    for (const FeaturePair& p : vectors[c]) {
      if ((!first && p.index <= previous) || p.index >= dim) return fail(msg::kVectorOrder);
      if (p.value == 0.0) return fail(msg::kVectorZero);
      previous = p.index;
      first = false;
    }
  }
  return Ok{};
}

Status check_probabilities(std::span<const double> p, size_t n) {
  if (p.size() != n) return fail(msg::kExploreCount);
  double sum = 0.0;
  for (double x : p) {
    if (!std::isfinite(x) || x < 0.0) return fail(msg::kExploreValue);
    sum = sum + x;
  }
  if (!(std::fabs(sum + -1.0) <= 1e-9)) return fail(msg::kExploreValue);
  return Ok{};
}

// The model's estimate of x, stepping the fingerprint chain in between.
double estimate_stepping(const LinearModel& model, SparseView x, FingerprintChain& chain) {
  FingerprintChain::Cursor cursor = chain.take();
  const double e = model.estimate(x, cursor);
  chain.put(cursor);
  return e;
}

// Hashes every candidate into `vectors` and, without a score tap, makes the
// model's estimates; returns the candidate fingerprint.
//
// The loops overlap: the fingerprint chain is stepped inside the hashing
// (while candidate i is hashed, the pairs of candidate i - 1 go into it),
// and the estimates run one candidate behind the hashing, the coordinates
// of candidate i prefetched as soon as its vector exists and read while
// candidate i + 1 is hashed. An estimate reads the model and nothing else,
// so making it before the vectors are checked changes no result; the
// hasher's indices lie below dim, so every read is in bounds. The engine's
// tests hold the results to hash_candidate and candidate_fingerprint.
uint64_t hash_and_estimate(DecideScratch::Buffers& scratch, const LinearModel& model, uint32_t bits,
                           std::span<const NamedFeature> context,
                           std::span<const Candidate> candidates, bool model_estimates) {
  CandidateVectors& vectors = scratch.vectors;
  std::vector<double>& estimates = scratch.estimates;
  vectors.clear();
  estimates.clear();
  scratch.hasher.set_context(context);
  // Room for every pair first: the chain's cursor, stepped inside the
  // hashing, points into the pairs queued before, which must not move.
  size_t room = 0;
  for (const Candidate& c : candidates) room += scratch.hasher.max_pairs(c);
  vectors.pairs.reserve(room);
  FingerprintChain chain(candidates.size());
  for (const Candidate& c : candidates) {
    const size_t begin = vectors.pairs.size();
    chain.put(scratch.hasher.hash_into(c, bits, vectors.pairs, chain.take()));
    const size_t end = vectors.pairs.size();
    vectors.ends.push_back(end);
    chain.add(model.dim(), vectors.pairs, begin, end);
    if (model_estimates) {
      const size_t i = vectors.size() - 1;
      model.prefetch(vectors[i]);
      if (i > 0) estimates.push_back(estimate_stepping(model, vectors[i - 1], chain));
    }
  }
  if (model_estimates && vectors.size() > 0)
    estimates.push_back(estimate_stepping(model, vectors[vectors.size() - 1], chain));
  return chain.value();
}

void append_decimal(std::string& out, uint64_t v) {
  char buf[20];
  size_t n = 0;
  do {
    buf[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out.push_back(buf[--n]);
}

}  // namespace

DecideScratch::DecideScratch() noexcept = default;
DecideScratch::~DecideScratch() = default;
DecideScratch::DecideScratch(DecideScratch&&) noexcept = default;
DecideScratch& DecideScratch::operator=(DecideScratch&&) noexcept = default;

DecideScratch::Buffers& DecideScratch::buffers() {
  if (!buffers_) buffers_ = std::make_unique<Buffers>();
  return *buffers_;
}

double decision_uniform(std::string_view decision_id, std::string_view salt) {
  uint64_t h = fnv1a_u64(kFnvOffset, decision_id.size());
  h = fnv1a(h, decision_id);
  h = fnv1a(h, salt);
  return static_cast<double>(splitmix_finalise(h) >> 11) * 0x1p-53;
}

namespace {

// The policy proper, from the vectors on: the checks, the estimates (made
// here unless `estimated`), the probabilities, the draw and the commit.
// Nothing changes in the state before the commit.
Result<DecisionRecord> decide_over(BanditState& state, DecideScratch::Buffers& scratch,
                                   const CandidateVectors& vectors, uint64_t fingerprint, bool estimated,
                                   double t, std::string_view salt, ScoreTap* score, ExploreTap* explore) {
  const uint64_t dim = state.model.dim();
  std::vector<double>& estimates = scratch.estimates;
  const size_t n = vectors.size();
  if (n == 0) return fail(msg::kNoCandidate);
  if (Status s = check_vectors(vectors, dim); !s.ok()) return std::move(s.error());

  if (score != nullptr) {
    estimates.clear();
    if (Status s = score->score(vectors, estimates); !s.ok()) return std::move(s.error());
    if (estimates.size() != n) return fail(msg::kScore);
    for (double e : estimates)
      if (!std::isfinite(e)) return fail(msg::kScore);
  } else if (!estimated) {
    // Every coordinate asked for first, so that the reads overlap.
    for (size_t i = 0; i < n; ++i) state.model.prefetch(vectors[i]);
    estimates.clear();
    for (size_t i = 0; i < n; ++i) estimates.push_back(state.model.estimate(vectors[i]));
  }

  std::vector<double>& probabilities = scratch.probabilities;
  probabilities.clear();
  if (explore != nullptr) {
    if (Status s = explore->explore(estimates, state.epsilon, probabilities); !s.ok())
      return std::move(s.error());
    if (Status s = check_probabilities(probabilities, n); !s.ok()) return std::move(s.error());
  } else {
    if (Status s = epsilon_greedy(estimates, state.epsilon, probabilities); !s.ok())
      return std::move(s.error());
  }

  DecisionRecord record;
  record.decision_id.reserve(salt.size() + 21);
  record.decision_id.append(salt);
  record.decision_id.push_back(':');
  append_decimal(record.decision_id, state.decision_count);

  const double u = decision_uniform(record.decision_id, salt);
  size_t chosen = n - 1;
  double acc = 0.0;
  for (size_t i = 0; i < n; ++i) {
    acc = acc + probabilities[i];
    if (u < acc) {
      chosen = i;
      break;
    }
  }

  record.t = t;
  record.candidate_hash = fingerprint;
  record.chosen = chosen;
  const SparseView chosen_vector = vectors[chosen];
  record.features.assign(chosen_vector.begin(), chosen_vector.end());
  record.propensity = probabilities[chosen];
  record.model_version = state.model_version;
  record.salt.assign(salt);

  // Commit: the only change a decision makes to the state.
  state.ledger.append(record);
  state.decision_count += 1;
  return record;
}

}  // namespace

Result<DecisionRecord> decide(BanditState& state, DecideScratch& scratch,
                              std::span<const NamedFeature> context,
                              std::span<const Candidate> candidates, double t,
                              std::string_view salt, ScoreTap* score, ExploreTap* explore) {
  Result<uint32_t> bits = model_bits(state);
  if (!bits.ok()) return std::move(bits.error());
  DecideScratch::Buffers& buffers = scratch.buffers();
  const bool model_estimates = score == nullptr;
  const uint64_t fingerprint =
      hash_and_estimate(buffers, state.model, bits.value(), context, candidates, model_estimates);
  return decide_over(state, buffers, buffers.vectors, fingerprint, model_estimates, t, salt, score, explore);
}

Status hash_candidates(FeatureHasher& hasher, uint32_t bits, std::span<const NamedFeature> context,
                       std::span<const Candidate> candidates, HashedCandidates& out) {
  if (!bits_valid(bits)) return fail(msg::kBits);
  out.bits = bits;
  out.fingerprint.reset();
  out.vectors.clear();
  hasher.set_context(context);
  // No fingerprint here: fingerprint_hashed makes them, several at once.
  for (const Candidate& c : candidates) {
    hasher.hash_into(c, bits, out.vectors.pairs);
    out.vectors.ends.push_back(out.vectors.pairs.size());
  }
  return Ok{};
}

void fingerprint_hashed(std::span<HashedCandidates* const> hashed) {
  // Four at a time, the width candidate_fingerprints works at.
  for (size_t first = 0; first < hashed.size(); first += 4) {
    const size_t n = std::min<size_t>(4, hashed.size() - first);
    const CandidateVectors* vectors[4];
    uint64_t dims[4];
    uint64_t out[4];
    for (size_t k = 0; k < n; ++k) {
      vectors[k] = &hashed[first + k]->vectors;
      dims[k] = uint64_t{1} << hashed[first + k]->bits;
    }
    candidate_fingerprints({vectors, n}, {dims, n}, {out, n});
    for (size_t k = 0; k < n; ++k) hashed[first + k]->fingerprint = out[k];
  }
}

Result<DecisionRecord> decide_hashed(BanditState& state, DecideScratch& scratch,
                                     const HashedCandidates& hashed, double t, std::string_view salt,
                                     ScoreTap* score, ExploreTap* explore) {
  Result<uint32_t> bits = model_bits(state);
  if (!bits.ok()) return std::move(bits.error());
  if (hashed.bits != bits.value()) return fail(msg::kHashedBits);
  const uint64_t fingerprint = hashed.fingerprint ? *hashed.fingerprint
                                                  : candidate_fingerprint(hashed.vectors, state.model.dim());
  return decide_over(state, scratch.buffers(), hashed.vectors, fingerprint, false, t, salt, score, explore);
}

}  // namespace sorvane
