// The candidate fingerprint, a decision's candidate_hash: FNV-1a 64 over the
// number of candidates, then for each candidate in order the model
// dimension, its number of pairs and each pair's index and value bit
// pattern, every one as 8 little-endian bytes.
//
// candidate_fingerprint states the rule. A decision makes the same hash as a
// FingerprintChain, because the hash is one serial chain of multiplications
// (a few microseconds for a mid-sized decision) that would otherwise run
// alone after the hashing: the chain is stepped from inside the hashing's
// and the estimates' loops, a pair at a time, and those loops' own work fills
// the cycles the chain spends waiting. The engine's tests check the two
// against each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "hash.hpp"
#include "types.hpp"

namespace sorvane {

// The rule, over the candidates' vectors in a space of dim coordinates.
uint64_t candidate_fingerprint(const CandidateVectors& vectors, uint64_t dim);

// The fingerprints of several decisions' candidates, out[i] that of
// vectors[i] in a space of dims[i] coordinates: the rule's values, made four
// at a time. Each fingerprint is one serial chain of multiplications, whose
// latency would keep the multiplier idle; four independent chains side by
// side keep it busy. For decisions hashed ahead of their turn, with no other
// work to hide a chain behind. All three spans have the same length.
void candidate_fingerprints(std::span<const CandidateVectors* const> vectors,
                            std::span<const uint64_t> dims, std::span<uint64_t> out);

// Loops that carry the chain step it every kChainStride items: often enough
// to keep the chain busy, rarely enough that a cheap loop does not end up
// waiting for it.
inline constexpr size_t kChainStride = 8;

// The fingerprint made incrementally: each candidate's vector is queued when
// it exists, and its pairs are hashed later, by the loops that step a Cursor,
// or all at once when the next candidate or the end comes. The result is the
// same whenever the steps run.
class FingerprintChain {
 public:
  explicit FingerprintChain(size_t n_candidates) : h_(fnv1a_u64(kFnvOffset, n_candidates)) {}

  // Hashes dim and the vector's length after every queued pair, then queues
  // pairs[begin, end). The vector may grow while the pairs are queued; the
  // queued pairs stay where they are in it.
  void add(uint64_t dim, const SparseVector& pairs, size_t begin, size_t end) {
    drain();
    h_ = fnv1a_u64(h_, dim);
    h_ = fnv1a_u64(h_, end - begin);
    pairs_ = &pairs;
    next_ = begin;
    end_ = end;
  }

  // The chain's state inside one loop: a plain local, so that the chain
  // stays in registers while the loop's own stores go to memory. Valid while
  // the queued vector does not move; put() takes its progress back.
  struct Cursor {
    uint64_t h;
    const FeaturePair* next;
    const FeaturePair* end;
    // One pair, without a branch on its bytes (fnv1a_u64_branchless).
    void step() {
      if (next != end) {
        h = hash_index(h, next->index);
        h = fnv1a_u64_branchless(h, std::bit_cast<uint64_t>(next->value));
        ++next;
      }
    }
    // Steps at every kChainStride-th item of a loop.
    void tick(size_t item) {
      if (item % kChainStride == 0) step();
    }
  };
  Cursor take() const {
    const FeaturePair* base = pairs_ == nullptr ? nullptr : pairs_->data();
    return {h_, base + next_, base + end_};
  }
  void put(const Cursor& c) {
    h_ = c.h;
    next_ = end_ - static_cast<size_t>(c.end - c.next);
  }

  // The fingerprint, once every candidate has been added.
  uint64_t value() {
    drain();
    return h_;
  }

  // Continues FNV-1a over an index's 8 bytes. Hashed indices lie below
  // 2**24: three bytes, then five zero bytes.
  static uint64_t hash_index(uint64_t h, uint64_t index) {
    if (index < (uint64_t{1} << 24)) {
      h = (h ^ (index & 0xFF)) * kFnvPrime;
      h = (h ^ ((index >> 8) & 0xFF)) * kFnvPrime;
      return (h ^ (index >> 16)) * kFnvPrimePow[6];
    }
    return fnv1a_u64(h, index);
  }

 private:
  // The queued pairs with nothing else in flight: skipping the values' zero
  // bytes pays, since a mispredicted branch costs only what the chain would
  // have waited anyway.
  void drain() {
    Cursor c = take();
    for (; c.next != c.end; ++c.next) {
      c.h = hash_index(c.h, c.next->index);
      c.h = fnv1a_f64(c.h, c.next->value);
    }
    put(c);
  }

  uint64_t h_;
  const SparseVector* pairs_ = nullptr;
  size_t next_ = 0;
  size_t end_ = 0;
};

}  // namespace sorvane
