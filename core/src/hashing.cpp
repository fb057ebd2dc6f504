// The hasher's context, its table of term texts and its sorts' slow paths;
// the rule, hash_candidate. The loops that take a step are inline
// (hashing.hpp).
#include "hashing.hpp"

#include <algorithm>

namespace sorvane {

namespace {

constexpr unsigned char kJoin = 0x1F;
constexpr uint64_t kSignBit = uint64_t{1} << 63;
constexpr uint64_t kLow32 = 0xFFFFFFFFULL;
constexpr size_t kFirstTableSize = 64;

}  // namespace

namespace hashing_detail {

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

}  // namespace hashing_detail

using hashing_detail::sorted_present;

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
  n_context_ = prefix_.size();
  // Padding streams keep the four-wide loop whole; their keys go unread.
  while (prefix_.size() % 4 != 0) prefix_.push_back(0);

  cached_.clear();
  cached_bytes_.clear();
  // Slot 0 is the bias term: its text is empty, so its keys are the
  // finalised prefixes themselves. No other term text is empty.
  keys_of_.resize(prefix_.size());
  for (size_t c = 0; c < prefix_.size(); ++c) keys_of_[c] = splitmix_finalise(prefix_[c]);
  cached_.push_back({0, 0, 0});

  if (table_.empty()) table_.assign(kFirstTableSize, 0);
  // Entries of older generations read as empty. When the counter wraps, the
  // table is wiped once so that no entry from 2**32 contexts ago revives.
  if (++generation_ > kLow32) {
    std::fill(table_.begin(), table_.end(), 0);
    generation_ = 1;
  }
}

void FeatureHasher::grow_table() {
  table_.assign(table_.size() * 2, 0);
  const size_t mask = table_.size() - 1;
  for (size_t slot = 1; slot < cached_.size(); ++slot) {
    size_t i = cached_[slot].lookup & mask;
    while ((table_[i] >> 32) == generation_) i = (i + 1) & mask;
    table_[i] = (generation_ << 32) | slot;
  }
}

namespace {

// Least-significant-digit radix passes of 8 bits over the index bits of the
// keys (bits 32 and up). Stable, so equal indices keep their order.
template <int Passes>
void radix_sort(uint64_t* a, uint64_t* spare, size_t n) {
  uint32_t counts[Passes][256] = {};
  for (size_t i = 0; i < n; ++i) {
    const uint64_t index = a[i] >> 32;
    for (int p = 0; p < Passes; ++p) ++counts[p][(index >> (8 * p)) & 0xFF];
  }
  uint64_t* from = a;
  uint64_t* to = spare;
  for (int p = 0; p < Passes; ++p) {
    uint32_t* c = counts[p];
    const int shift = 32 + 8 * p;
    // A pass whose digit is the same for every key would move nothing.
    if (c[(from[0] >> shift) & 0xFF] == n) continue;
    uint32_t sum = 0;
    for (int b = 0; b < 256; ++b) {
      const uint32_t k = c[b];
      c[b] = sum;
      sum += k;
    }
    for (size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != a) std::copy(from, from + n, a);
}

}  // namespace

namespace hashing_detail {

void radix_sort_by_index(uint64_t* a, uint64_t* spare, size_t n, uint32_t bits) {
  if (bits <= 8) return radix_sort<1>(a, spare, n);
  if (bits <= 16) return radix_sort<2>(a, spare, n);
  return radix_sort<3>(a, spare, n);
}

void insertion_sort(uint64_t* a, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    const uint64_t k = a[i];
    size_t j = i;
    for (; j > 0 && a[j - 1] > k; --j) a[j] = a[j - 1];
    a[j] = k;
  }
}

}  // namespace hashing_detail

SparseVector hash_candidate(std::span<const NamedFeature> context, const Candidate& candidate,
                            uint32_t bits) {
  struct Term {
    std::string text;
    double weight;
  };
  auto terms = [](std::span<const NamedFeature> features, std::string_view tag) {
    std::vector<const NamedFeature*> present;
    sorted_present(features, present);
    std::vector<Term> out{{"", 1.0}};
    for (const NamedFeature* f : present) {
      std::string text = std::string(tag) + std::string(f->name);
      if (f->value.kind == FeatureKind::text)
        out.push_back({text + "=" + std::string(f->value.text), 1.0});
      else
        out.push_back({text, f->value.number});
    }
    return out;
  };
  std::vector<Term> context_terms = terms(context, "c|");
  std::vector<Term> candidate_terms = terms(candidate.features, "a|");
  candidate_terms.push_back({"i|" + std::string(candidate.id), 1.0});

  const uint64_t mask = (uint64_t{1} << bits) - 1;
  SparseVector emitted;
  for (const Term& c : context_terms) {
    const uint64_t prefix = fnv1a(fnv1a(kFnvOffset, c.text), &kJoin, 1);
    for (const Term& a : candidate_terms) {
      const uint64_t key = splitmix_finalise(fnv1a(prefix, a.text));
      const double weight = (key & kSignBit) != 0 ? -c.weight : c.weight;
      emitted.push_back({key & mask, mul_in_order(weight, a.weight)});
    }
  }
  std::stable_sort(emitted.begin(), emitted.end(),
                   [](const FeaturePair& x, const FeaturePair& y) { return x.index < y.index; });
  SparseVector out;
  for (size_t i = 0; i < emitted.size();) {
    double sum = emitted[i].value;
    size_t j = i + 1;
    for (; j < emitted.size() && emitted[j].index == emitted[i].index; ++j)
      sum = add_in_order(sum, emitted[j].value);
    if (sum != 0.0) out.push_back({emitted[i].index, sum});
    i = j;
  }
  return out;
}

}  // namespace sorvane
