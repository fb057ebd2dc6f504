// Feature hashing: the context and each candidate become one SparseVector per
// candidate in a space of 2**bits coordinates. Every (context term, candidate
// term) pair is one coordinate, found by FNV-1a 64 over the two texts joined
// by the byte 0x1F and the SplitMix64 finaliser, with a sign from bit 63.
//
// FNV-1a 64 and the finaliser are the engine's only hash functions: the
// draw, the candidate fingerprint and the snapshot checksum use these too.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "types.hpp"

namespace sorvane {

inline constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
inline constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

inline uint64_t fnv1a(uint64_t h, const void* data, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kFnvPrime;
  return h;
}
inline uint64_t fnv1a(uint64_t h, std::string_view s) { return fnv1a(h, s.data(), s.size()); }

namespace detail {
constexpr std::array<uint64_t, 9> prime_powers() {
  std::array<uint64_t, 9> p{};
  p[0] = 1;
  for (size_t k = 1; k < p.size(); ++k) p[k] = p[k - 1] * kFnvPrime;
  return p;
}
// kFnvPrimePow[k] is the prime to the k-th power, modulo 2**64.
inline constexpr std::array<uint64_t, 9> kFnvPrimePow = prime_powers();
}  // namespace detail

// Continues FNV-1a over the 8 little-endian bytes of v. A run of k zero bytes
// is one multiplication by the prime's k-th power (XOR with zero is the
// identity), which shortens the serial chain: most high bytes of indices,
// counts and many float patterns are zero. The loop's branches depend on v
// alone, never on h, so they resolve ahead of the multiplication chain.
inline uint64_t fnv1a_u64(uint64_t h, uint64_t v) {
  int left = 8;
  while (v != 0) {
    const int zeros = std::countr_zero(v) >> 3;
    if (zeros != 0) {
      h *= detail::kFnvPrimePow[zeros];
      v >>= 8 * zeros;
    }
    h = (h ^ (v & 0xFF)) * kFnvPrime;
    v >>= 8;
    left -= zeros + 1;
  }
  if (left != 0) h *= detail::kFnvPrimePow[left];
  return h;
}

inline uint64_t splitmix_finalise(uint64_t h) {
  uint64_t z = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// FNV-1a 64 over a sequence of 8-byte words, where runs of (index, value)
// pairs may be queued and hashed later, a pair at a time. A chain of FNV
// multiplications is serial: stepping it from inside other work lets that
// work use the cycles the chain spends waiting. The result is the same
// whenever the steps run.
class FnvPairStream {
 public:
  // Continues FNV-1a over an index's 8 bytes. Indices of hashed features
  // lie below 2**24: three bytes, then five zero bytes.
  static uint64_t hash_index(uint64_t h, uint64_t index) {
    if (index < (uint64_t{1} << 24)) {
      h = (h ^ (index & 0xFF)) * kFnvPrime;
      h = (h ^ ((index >> 8) & 0xFF)) * kFnvPrime;
      return (h ^ (index >> 16)) * detail::kFnvPrimePow[6];
    }
    return fnv1a_u64(h, index);
  }

  // Continues FNV-1a over one pair's index and value bit pattern.
  //
  // No branch here depends on the pair's bytes (the index test goes the
  // same way for every hashed vector): the steps run inside other loops,
  // where a mispredicted branch throws away that loop's work too. Skipping
  // a value's zero bytes (fnv1a_u64) shortens the chain but branches on
  // each value's byte pattern, which changes from pair to pair with fresh
  // inputs; the eight plain steps cost less overall.
  static uint64_t hash_pair(uint64_t h, const FeaturePair& p) {
    h = hash_index(h, p.index);
    uint64_t v = std::bit_cast<uint64_t>(p.value);
    for (int i = 0; i < 8; ++i) {
      h = (h ^ (v & 0xFF)) * kFnvPrime;
      v >>= 8;
    }
    return h;
  }

  // The same as hash_pair, for the chain running on its own: steps only at
  // the value's nonzero bytes. Its branches follow the value's bytes, but
  // with nothing else in flight a mispredicted one costs only what the
  // chain would have waited anyway.
  static uint64_t hash_pair_alone(uint64_t h, const FeaturePair& p) {
    h = hash_index(h, p.index);
    return fnv1a_u64(h, std::bit_cast<uint64_t>(p.value));
  }

  // The stream's state for one loop: a plain local, so that the chain
  // stays in registers while the loop's own stores go to memory.
  struct Cursor {
    uint64_t h;
    const FeaturePair* next;
    const FeaturePair* end;
    void step() {
      if (next != end) h = hash_pair(h, *next++);
    }
  };

  explicit FnvPairStream(uint64_t h) : h_(h) {}

  // Hashes v after every queued pair.
  void word(uint64_t v) {
    drain();
    h_ = fnv1a_u64(h_, v);
  }
  // Queues pairs[begin, end) after every pair already queued. The vector
  // may grow between cursors; the pairs must stay where they are in it.
  void queue(const SparseVector& pairs, size_t begin, size_t end) {
    drain();
    pairs_ = &pairs;
    next_ = begin;
    end_ = end;
  }
  // A cursor over the queued pairs, valid while the vector does not move;
  // put() takes its progress back.
  Cursor take() const {
    const FeaturePair* base = pairs_ == nullptr ? nullptr : pairs_->data();
    return {h_, base + next_, base + end_};
  }
  void put(const Cursor& c) {
    h_ = c.h;
    next_ = end_ - static_cast<size_t>(c.end - c.next);
  }
  void drain() {
    Cursor c = take();
    while (c.next != c.end) c.h = hash_pair_alone(c.h, *c.next++);
    put(c);
  }
  uint64_t value() {
    drain();
    return h_;
  }

 private:
  uint64_t h_;
  const SparseVector* pairs_ = nullptr;
  size_t next_ = 0;
  size_t end_ = 0;
};

enum class FeatureKind : uint8_t { absent, text, number };

// The engine's view of one feature value; texts are views into storage the
// caller keeps alive for the duration of the operation.
struct FeatureValue {
  FeatureKind kind = FeatureKind::absent;
  double number = 0.0;
  std::string_view text;
};

struct NamedFeature {
  std::string_view name;
  FeatureValue value;
};

struct Candidate {
  std::string_view id;
  std::span<const NamedFeature> features;
};

inline constexpr const char* kBitsMessage = "bits must be between 1 and 24";
inline bool bits_valid(uint32_t bits) { return bits >= 1 && bits <= 24; }

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
  // Steps `background` along the way.
  void hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out,
                 FnvPairStream& background);

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

  uint32_t slot_for(std::string_view text, FnvPairStream& background);
  void grow_table();
  void sort_by_index(size_t n, uint32_t bits, FnvPairStream& background);

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

// One candidate's vector on its own, for callers outside the decision path.
Result<SparseVector> hash_candidate(std::span<const NamedFeature> context,
                                    const Candidate& candidate, uint32_t bits);

}  // namespace sorvane
