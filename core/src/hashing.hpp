// Feature hashing: the context and each candidate become one SparseVector per
// candidate in a space of 2**bits coordinates. The context's terms are the
// bias term (empty text, weight 1) and then, in name order, "c|name=text"
// (weight 1) or "c|name" (the number as weight) for each non-absent feature;
// a candidate's are the bias term, "a|name=text" or "a|name" likewise, and
// "i|" with its id. Every (context term, candidate term) pair is one
// coordinate: FNV-1a 64 over the context text, the byte 0x1F and the
// candidate text, through the SplitMix64 finaliser; the key's low bits are
// the index, and bit 63 flips the sign of the context weight, which is then
// multiplied by the candidate weight. Pairs that meet at one index merge
// into their sum, left to right in emission order (context terms outer);
// sums equal to zero vanish.
//
// hash_candidate states the rule; FeatureHasher makes the same vectors for a
// decision, reusing its work and its buffers across the candidates. Its
// loops take a step callable, as LinearModel::estimate does, so that a
// caller can run work of its own in their shadow; hashing itself knows
// nothing of that work. To hash a whole decision's candidates at once, see
// hash_candidates (hashed_decide.hpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "float_order.hpp"
#include "hash.hpp"
#include "types.hpp"

namespace sorvane {

// One candidate's vector against the context. bits must be in 1..24.
SparseVector hash_candidate(std::span<const NamedFeature> context, const Candidate& candidate,
                            uint32_t bits);

// Hashes candidates against one context. Holds its buffers between calls so
// that a decision allocates nothing once they have grown to size.
//
// Within one context, the keys of a candidate term depend only on its text:
// each distinct text is hashed against the context once, however many
// candidates carry it (the bias term and number features are usually shared
// by all of them).
class FeatureHasher {
 public:
  // Builds the context term list (the bias term, then one term per
  // non-absent feature in name order) and forgets the previous context's
  // term keys. Cannot fail.
  void set_context(std::span<const NamedFeature> context);

  // Appends the candidate's SparseVector to `out`. bits must be in 1..24.
  // Costs one pass over the context's prefixes per term text not seen
  // before with this context, and one key, sort slot and sum per (context
  // term, candidate term) pair.
  void hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out) {
    hash_into(candidate, bits, out, [](size_t) {});
  }

  // The same, calling step(i) after item i of each of its loops (a group of
  // keys, a pair, a sorted key, a summed index), for work placed in their
  // shadow. The step goes in by value and comes back advanced, so that its
  // state stays in registers through the loops. It must not touch the
  // hasher or `out`. `out` grows, and may move, only when it has less room
  // than max_pairs(candidate): a caller that made that room may let the
  // step read what `out` held before the call.
  template <class Step>
  Step hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out, Step step);

  // The most pairs hash_into can append for the candidate against the
  // current context: one per (context term, candidate term).
  size_t max_pairs(const Candidate& candidate) const {
    return n_context_ * (candidate.features.size() + 2);
  }

 private:
  struct Term {
    uint32_t slot;  // into the key cache
    double weight;
  };
  struct CachedText {
    size_t offset;  // into cached_bytes_
    size_t size;
    uint64_t lookup;  // table hash of the text
  };

  static constexpr uint64_t kSignBit = uint64_t{1} << 63;
  static constexpr uint64_t kLow32 = 0xFFFFFFFFULL;
  // Up to this many pairs a candidate's pairs are sorted by bucketing and
  // insertion; above it by radix passes.
  static constexpr size_t kBucketSortMax = 128;

  // These take hash_into's step by reference, so they are always inlined
  // into it: were one called, the step's address would escape and its state
  // would live in memory through every loop.
  template <class Step>
  [[gnu::always_inline]] uint32_t slot_for(std::string_view text, Step& step);
  template <class Step>
  [[gnu::always_inline]] void sort_by_index(size_t n, uint32_t bits, Step& step);
  void grow_table();

  // The context.
  std::vector<uint64_t> prefix_;  // FNV state after each context term and 0x1F
  size_t n_context_ = 0;          // prefix_ is padded beyond these
  std::vector<double> context_weight_;
  std::vector<const NamedFeature*> order_;

  // Keys of every distinct candidate term text seen with this context:
  // keys_of_[slot * prefix_.size() + c] is the finalised key of (c, text).
  std::vector<uint64_t> keys_of_;
  std::vector<CachedText> cached_;
  std::string cached_bytes_;
  // Open addressing over cached_: generation << 32 | slot, where an entry
  // of an older generation is empty, so that a new context empties the
  // table without touching it.
  std::vector<uint64_t> table_;
  uint64_t generation_ = 0;

  // One candidate.
  std::string text_;
  std::vector<Term> terms_;
  std::vector<uint64_t> sort_keys_;  // index << 32 | emission position
  std::vector<uint64_t> sort_spare_;
  std::vector<double> values_;  // by emission position
};

// ---- The hasher's loops, inline so that a caller's step runs inside them.

namespace hashing_detail {

// Stable name order of the non-absent features (hashing.cpp).
void sorted_present(std::span<const NamedFeature> features, std::vector<const NamedFeature*>& out);

// Sorts a[0, n) by the index bits (32 and up) in least-significant-digit
// radix passes, stably; spare holds n (hashing.cpp).
void radix_sort_by_index(uint64_t* a, uint64_t* spare, size_t n, uint32_t bits);

// Sorts a[0, n) ascending; for runs that are nearly in order already.
void insertion_sort(uint64_t* a, size_t n);

// The table position of a term text: eight bytes at a time through the
// finaliser, a short dependency chain next to FNV's one multiply per byte.
// Only the table uses it; matches are confirmed on the bytes.
inline uint64_t table_hash(std::string_view text) {
  const char* p = text.data();
  const size_t n = text.size();
  uint64_t h = n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = splitmix_finalise(h ^ w);
  }
  if (i < n) {
    uint64_t w = 0;
    std::memcpy(&w, p + i, n - i);
    h = splitmix_finalise(h ^ w);
  }
  return h;
}

// The finalised keys of one text against every context prefix. Four FNV
// streams at once: their chains are independent, so the multiplier is kept
// busy instead of waiting on one chain's latency. The prefixes come padded
// to a multiple of four; step(i) runs after byte i of each group's pass.
template <class Step>
[[gnu::always_inline]] inline void keys_against(const uint64_t* prefix, size_t n_padded,
                                                std::string_view text, uint64_t* out, Step& step) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t len = text.size();
  for (size_t c = 0; c < n_padded; c += 4) {
    uint64_t h0 = prefix[c], h1 = prefix[c + 1], h2 = prefix[c + 2], h3 = prefix[c + 3];
    for (size_t i = 0; i < len; ++i) {
      const uint64_t b = bytes[i];
      h0 = (h0 ^ b) * kFnvPrime;
      h1 = (h1 ^ b) * kFnvPrime;
      h2 = (h2 ^ b) * kFnvPrime;
      h3 = (h3 ^ b) * kFnvPrime;
      step(i);
    }
    out[c] = splitmix_finalise(h0);
    out[c + 1] = splitmix_finalise(h1);
    out[c + 2] = splitmix_finalise(h2);
    out[c + 3] = splitmix_finalise(h3);
  }
}

}  // namespace hashing_detail

template <class Step>
inline uint32_t FeatureHasher::slot_for(std::string_view text, Step& step) {
  const uint64_t lookup = hashing_detail::table_hash(text);
  const size_t mask = table_.size() - 1;
  size_t i = lookup & mask;
  while ((table_[i] >> 32) == generation_) {
    const auto slot = static_cast<uint32_t>(table_[i] & kLow32);
    const CachedText& t = cached_[slot];
    if (t.lookup == lookup && t.size == text.size() &&
        std::memcmp(cached_bytes_.data() + t.offset, text.data(), text.size()) == 0)
      return slot;
    i = (i + 1) & mask;
  }

  // A new text. The slot is claimed last, so that running out of memory
  // half way leaves the cache as it was.
  const size_t stride = prefix_.size();
  const size_t slot = cached_.size();
  if (slot >= kLow32) throw std::bad_alloc();
  keys_of_.resize((slot + 1) * stride);
  hashing_detail::keys_against(prefix_.data(), stride, text, keys_of_.data() + slot * stride, step);
  const size_t offset = cached_bytes_.size();
  cached_bytes_.append(text);
  cached_.push_back({offset, text.size(), lookup});
  table_[i] = (generation_ << 32) | slot;
  if (2 * cached_.size() > table_.size()) grow_table();
  return static_cast<uint32_t>(slot);
}

// Sorts sort_keys_[0, n) by index. The keys are unique (they carry the
// emission position), so the order by key is the stable order by index.
template <class Step>
inline void FeatureHasher::sort_by_index(size_t n, uint32_t bits, Step& step) {
  uint64_t* a = sort_keys_.data();
  if (n < 2) return;
  if (sort_spare_.size() < n) sort_spare_.resize(sort_keys_.size());
  uint64_t* spare = sort_spare_.data();
  if (n > kBucketSortMax) return hashing_detail::radix_sort_by_index(a, spare, n, bits);
  // Short lists: one counting pass on the top index bits, about one bucket
  // per key; hashed indices are spread evenly, so an insertion sort then
  // has almost nothing left to do. With few enough bits the counting pass
  // alone sorts.
  uint32_t d = 1;
  while ((size_t{1} << d) < n) ++d;
  if (d > bits) d = bits;
  const uint32_t shift = 32 + bits - d;
  uint32_t counts[kBucketSortMax] = {};
  for (size_t i = 0; i < n; ++i) ++counts[a[i] >> shift];
  uint32_t sum = 0;
  for (size_t b = 0; b < (size_t{1} << d); ++b) {
    const uint32_t k = counts[b];
    counts[b] = sum;
    sum += k;
  }
  for (size_t i = 0; i < n; ++i) {
    spare[counts[a[i] >> shift]++] = a[i];
    step(i);
  }
  std::copy(spare, spare + n, a);
  if (d < bits) hashing_detail::insertion_sort(a, n);
}

template <class Step>
Step FeatureHasher::hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out, Step step) {
  // The candidate's term list: bias, features in name order, identity.
  terms_.clear();
  terms_.push_back({0, 1.0});
  hashing_detail::sorted_present(candidate.features, order_);
  for (const NamedFeature* f : order_) {
    text_.assign("a|");
    text_ += f->name;
    double weight = 1.0;
    if (f->value.kind == FeatureKind::text) {
      text_ += '=';
      text_ += f->value.text;
    } else {
      weight = f->value.number;
    }
    terms_.push_back({slot_for(text_, step), weight});
  }
  text_.assign("i|");
  text_ += candidate.id;
  terms_.push_back({slot_for(text_, step), 1.0});

  // One pair per (context term, candidate term), context terms outer: the
  // emission position orders pairs that share an index.
  const size_t n_context = n_context_;
  const size_t stride = prefix_.size();
  const size_t n_terms = terms_.size();
  const size_t n_pairs = n_context * n_terms;
  if (n_pairs > kLow32) throw std::bad_alloc();
  if (sort_keys_.size() < n_pairs) {
    sort_keys_.resize(n_pairs);
    values_.resize(n_pairs);
  }
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  const uint64_t* keys_of = keys_of_.data();
  uint64_t* sort_keys = sort_keys_.data();
  double* values = values_.data();
  for (size_t c = 0; c < n_context; ++c) {
    const uint64_t weight_bits = std::bit_cast<uint64_t>(context_weight_[c]);
    const size_t base = c * n_terms;
    for (size_t a = 0; a < n_terms; ++a) {
      const uint64_t key = keys_of[terms_[a].slot * stride + c];
      // Bit 63 of the key flips the sign bit of the context term's weight.
      const double signed_weight = std::bit_cast<double>(weight_bits ^ (key & kSignBit));
      sort_keys[base + a] = ((key & mask) << 32) | (base + a);
      values[base + a] = mul_in_order(signed_weight, terms_[a].weight);
      step(a);
    }
  }

  sort_by_index(n_pairs, bits, step);

  // Runs of one index merge into their left-to-right sum; zero sums vanish.
  if (out.capacity() - out.size() < n_pairs) out.reserve(std::max(out.size() + n_pairs, 2 * out.capacity()));
  size_t i = 0;
  while (i < n_pairs) {
    const uint64_t index = sort_keys[i] >> 32;
    double sum = values[sort_keys[i] & kLow32];
    size_t j = i + 1;
    for (; j < n_pairs && (sort_keys[j] >> 32) == index; ++j)
      sum = add_in_order(sum, values[sort_keys[j] & kLow32]);
    if (sum != 0.0) out.push_back({index, sum});
    step(i);
    i = j;
  }
  return step;
}

}  // namespace sorvane
