#include "hashing.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "float_order.hpp"

namespace sorvane {

namespace {

constexpr unsigned char kJoin = 0x1F;
constexpr uint64_t kSignBit = uint64_t{1} << 63;
constexpr uint64_t kLow32 = 0xFFFFFFFFULL;
constexpr size_t kFirstTableSize = 64;
// Up to this many pairs a candidate's pairs are sorted by bucketing and
// insertion; above it by radix passes.
constexpr size_t kBucketSortMax = 128;

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

// The finalised keys of one text against every context prefix. Four FNV
// streams at once: their chains are independent, so the multiplier is kept
// busy instead of waiting on one chain's latency. The prefixes come padded
// to a multiple of four.
void keys_against(const uint64_t* prefix, size_t n_padded, std::string_view text, uint64_t* out,
                  FingerprintChain& chain) {
  FingerprintChain::Cursor cursor = chain.take();
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
    }
    out[c] = splitmix_finalise(h0);
    out[c + 1] = splitmix_finalise(h1);
    out[c + 2] = splitmix_finalise(h2);
    out[c + 3] = splitmix_finalise(h3);
    cursor.step();
  }
  chain.put(cursor);
}

// The table position of a term text: eight bytes at a time through the
// finaliser, a short dependency chain next to FNV's one multiply per byte.
// Only the table uses it; matches are confirmed on the bytes.
uint64_t table_hash(std::string_view text) {
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

}  // namespace

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

uint32_t FeatureHasher::slot_for(std::string_view text, FingerprintChain& chain) {
  const uint64_t lookup = table_hash(text);
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
  keys_against(prefix_.data(), stride, text, keys_of_.data() + slot * stride, chain);
  const size_t offset = cached_bytes_.size();
  cached_bytes_.append(text);
  cached_.push_back({offset, text.size(), lookup});
  table_[i] = (generation_ << 32) | slot;
  if (2 * cached_.size() > table_.size()) grow_table();
  return static_cast<uint32_t>(slot);
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

void insertion_sort(uint64_t* a, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    const uint64_t k = a[i];
    size_t j = i;
    for (; j > 0 && a[j - 1] > k; --j) a[j] = a[j - 1];
    a[j] = k;
  }
}

}  // namespace

// Sorts sort_keys_[0, n) by index. The keys are unique (they carry the
// emission position), so the order by key is the stable order by index.
void FeatureHasher::sort_by_index(size_t n, uint32_t bits, FingerprintChain& chain) {
  uint64_t* a = sort_keys_.data();
  if (n < 2) return;
  if (sort_spare_.size() < n) sort_spare_.resize(sort_keys_.size());
  uint64_t* spare = sort_spare_.data();
  if (n > kBucketSortMax) {
    if (bits <= 8) return radix_sort<1>(a, spare, n);
    if (bits <= 16) return radix_sort<2>(a, spare, n);
    return radix_sort<3>(a, spare, n);
  }
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
  FingerprintChain::Cursor cursor = chain.take();
  for (size_t i = 0; i < n; ++i) {
    spare[counts[a[i] >> shift]++] = a[i];
    cursor.tick(i);
  }
  chain.put(cursor);
  std::copy(spare, spare + n, a);
  if (d < bits) insertion_sort(a, n);
}

void FeatureHasher::hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out,
                              FingerprintChain& chain) {
  // The candidate's term list: bias, features in name order, identity.
  terms_.clear();
  terms_.push_back({0, 1.0});
  sorted_present(candidate.features, order_);
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
    terms_.push_back({slot_for(text_, chain), weight});
  }
  text_.assign("i|");
  text_ += candidate.id;
  terms_.push_back({slot_for(text_, chain), 1.0});

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
  FingerprintChain::Cursor cursor = chain.take();
  for (size_t c = 0; c < n_context; ++c) {
    const uint64_t weight_bits = std::bit_cast<uint64_t>(context_weight_[c]);
    const size_t base = c * n_terms;
    for (size_t a = 0; a < n_terms; ++a) {
      const uint64_t key = keys_of[terms_[a].slot * stride + c];
      // Bit 63 of the key flips the sign bit of the context term's weight.
      const double signed_weight = std::bit_cast<double>(weight_bits ^ (key & kSignBit));
      sort_keys[base + a] = ((key & mask) << 32) | (base + a);
      values[base + a] = mul_in_order(signed_weight, terms_[a].weight);
      cursor.tick(a);
    }
  }
  chain.put(cursor);

  sort_by_index(n_pairs, bits, chain);

  // Runs of one index merge into their left-to-right sum; zero sums vanish.
  if (out.capacity() - out.size() < n_pairs) out.reserve(std::max(out.size() + n_pairs, 2 * out.capacity()));
  // Taken after the reservation: the queued pairs may live in `out`.
  cursor = chain.take();
  size_t i = 0;
  while (i < n_pairs) {
    const uint64_t index = sort_keys[i] >> 32;
    double sum = values[sort_keys[i] & kLow32];
    size_t j = i + 1;
    for (; j < n_pairs && (sort_keys[j] >> 32) == index; ++j)
      sum = add_in_order(sum, values[sort_keys[j] & kLow32]);
    if (sum != 0.0) out.push_back({index, sum});
    cursor.tick(i);
    i = j;
  }
  chain.put(cursor);
}

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
