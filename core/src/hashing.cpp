#include "hashing.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace sorvane {

namespace {

constexpr std::array<uint64_t, 9> prime_powers() {
  std::array<uint64_t, 9> p{};
  p[0] = 1;
  for (size_t k = 1; k < p.size(); ++k) p[k] = p[k - 1] * kFnvPrime;
  return p;
}
constexpr std::array<uint64_t, 9> kPrimePow = prime_powers();

constexpr unsigned char kJoin = 0x1F;
constexpr int kPositionBits = 40;

// Stable name order of the non-absent features. Feature lists are short, so
// an insertion sort (stable, allocation-free) beats a general stable sort.
// string_view compares as unsigned bytes (char_traits<char>::compare).
void sorted_present(std::span<const NamedFeature> features, std::vector<const NamedFeature*>& out) {
  out.clear();
  for (const NamedFeature& f : features) {
    if (f.value.kind == FeatureKind::absent) continue;
    size_t i = out.size();
    out.push_back(&f);
    while (i > 0 && f.name < out[i - 1]->name) {
      out[i] = out[i - 1];
      --i;
    }
    out[i] = &f;
  }
}

}  // namespace

uint64_t fnv1a_u64(uint64_t h, uint64_t v) {
  int left = 8;
  while (v != 0) {
    const int zeros = std::countr_zero(v) >> 3;
    if (zeros != 0) {
      h *= kPrimePow[zeros];
      v >>= 8 * zeros;
    }
    h = (h ^ (v & 0xFF)) * kFnvPrime;
    v >>= 8;
    left -= zeros + 1;
  }
  if (left != 0) h *= kPrimePow[left];
  return h;
}

void FeatureHasher::set_context(std::span<const NamedFeature> context) {
  sorted_present(context, order_);
  prefix_.clear();
  context_weight_.clear();
  prefix_.push_back(fnv1a(kFnvOffset, &kJoin, 1));
  context_weight_.push_back(1.0);
  for (const NamedFeature* f : order_) {
    uint64_t h = fnv1a(kFnvOffset, "c|");
    h = fnv1a(h, f->name);
    if (f->value.kind == FeatureKind::text) {
      h = fnv1a(h, "=");
      h = fnv1a(h, f->value.text);
      context_weight_.push_back(1.0);
    } else {
      context_weight_.push_back(f->value.number);
    }
    prefix_.push_back(fnv1a(h, &kJoin, 1));
  }
}

void FeatureHasher::build_candidate_terms(const Candidate& candidate) {
  sorted_present(candidate.features, order_);
  term_bytes_.clear();
  terms_.clear();
  terms_.push_back({0, 0, 1.0});
  for (const NamedFeature* f : order_) {
    const size_t start = term_bytes_.size();
    term_bytes_ += "a|";
    term_bytes_ += f->name;
    double weight = 1.0;
    if (f->value.kind == FeatureKind::text) {
      term_bytes_ += '=';
      term_bytes_ += f->value.text;
    } else {
      weight = f->value.number;
    }
    terms_.push_back({start, term_bytes_.size() - start, weight});
  }
  const size_t start = term_bytes_.size();
  term_bytes_ += "i|";
  term_bytes_ += candidate.id;
  terms_.push_back({start, term_bytes_.size() - start, 1.0});
}

void FeatureHasher::hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out) {
  build_candidate_terms(candidate);
  const size_t n_context = prefix_.size();
  const size_t n_terms = terms_.size();
  const size_t n_pairs = n_context * n_terms;
  keys_.resize(n_pairs);
  values_.resize(n_pairs);
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(term_bytes_.data());

  auto emit = [&](size_t c, size_t a, uint64_t h) {
    const uint64_t key = splitmix_finalise(h);
    const size_t pos = c * n_terms + a;
    double cw = context_weight_[c];
    if (key >> 63) cw = -cw;
    keys_[pos] = ((key & mask) << kPositionBits) | pos;
    values_[pos] = cw * terms_[a].weight;
  };

  for (size_t a = 0; a < n_terms; ++a) {
    const unsigned char* text = bytes + terms_[a].offset;
    const size_t len = terms_[a].size;
    size_t c = 0;
    // Four context streams at once: their FNV chains are independent, so the
    // multiplier is kept busy instead of waiting on one chain's latency.
    for (; c + 4 <= n_context; c += 4) {
      uint64_t h0 = prefix_[c], h1 = prefix_[c + 1], h2 = prefix_[c + 2], h3 = prefix_[c + 3];
      for (size_t i = 0; i < len; ++i) {
        const uint64_t b = text[i];
        h0 = (h0 ^ b) * kFnvPrime;
        h1 = (h1 ^ b) * kFnvPrime;
        h2 = (h2 ^ b) * kFnvPrime;
        h3 = (h3 ^ b) * kFnvPrime;
      }
      emit(c, a, h0);
      emit(c + 1, a, h1);
      emit(c + 2, a, h2);
      emit(c + 3, a, h3);
    }
    for (; c < n_context; ++c) emit(c, a, fnv1a(prefix_[c], text, len));
  }

  // Keys are unique (they carry the emission position), so an unstable sort
  // gives the stable order by index.
  std::sort(keys_.begin(), keys_.end());
  const uint64_t pos_mask = (uint64_t{1} << kPositionBits) - 1;
  size_t i = 0;
  while (i < n_pairs) {
    const uint64_t index = keys_[i] >> kPositionBits;
    double sum = values_[keys_[i] & pos_mask];
    size_t j = i + 1;
    for (; j < n_pairs && (keys_[j] >> kPositionBits) == index; ++j) {
      sum = sum + values_[keys_[j] & pos_mask];
    }
    if (sum != 0.0) out.push_back({index, sum});
    i = j;
  }
}

Result<SparseVector> hash_candidate(std::span<const NamedFeature> context,
                                    const Candidate& candidate, uint32_t bits) {
  if (!bits_valid(bits)) return fail(kBitsMessage);
  FeatureHasher hasher;
  hasher.set_context(context);
  SparseVector out;
  hasher.hash_into(candidate, bits, out);
  return out;
}

}  // namespace sorvane
