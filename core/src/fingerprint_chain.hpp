// FingerprintChain: a decision's candidate fingerprint (fingerprint.hpp)
// made incrementally, so that its serial chain of multiplications runs in
// the shadow of the decision's other loops instead of alone after them. Each
// candidate's vector is queued once it exists, and its pairs are hashed
// later, a pair at a time by a Cursor that the hashing's and the estimates'
// loops step, or all at once when the next candidate or the end comes. The
// result is the same whenever the steps run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fingerprint.hpp"
#include "hash.hpp"
#include "types.hpp"

namespace sorvane {

// Loops that carry the chain step it every kChainStride items: often enough
// to keep the chain busy, rarely enough that a cheap loop does not end up
// waiting for it.
inline constexpr size_t kChainStride = 8;

class FingerprintChain {
 public:
  explicit FingerprintChain(size_t n_candidates) : h_(fnv1a_u64(kFnvOffset, n_candidates)) {}

  // Hashes dim and the vector's length after every queued pair, then queues
  // pairs[begin, end). The vector may grow while the pairs are queued; they
  // are found by position.
  void add(uint64_t dim, const SparseVector& pairs, size_t begin, size_t end) {
    drain();
    h_ = fnv1a_u64(h_, dim);
    h_ = fnv1a_u64(h_, end - begin);
    pairs_ = &pairs;
    next_ = begin;
    end_ = end;
  }

  // The chain's state inside loops: a plain value, passed into a loop and
  // handed back after it, so that the chain stays in registers while the
  // loop's own stores go to memory. A step callable for loops that take one
  // (FeatureHasher::hash_into, LinearModel::estimate): cursor(i) steps at
  // every kChainStride-th item i. Valid while the queued vector does not
  // move; put() takes its progress back.
  struct Cursor {
    uint64_t h;
    const FeaturePair* next;
    const FeaturePair* end;

    // One queued pair, if any is left.
    void step() {
      if (next != end) {
        h = fingerprint_pair(h, *next);
        ++next;
      }
    }
    void operator()(size_t item) {
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

 private:
  // The queued pairs with nothing else in flight: skipping the values' zero
  // bytes pays, since a mispredicted branch costs only what the chain would
  // have waited anyway.
  void drain() {
    if (next_ == end_) return;
    const FeaturePair* p = pairs_->data();
    uint64_t h = h_;
    for (size_t i = next_; i != end_; ++i) {
      h = fingerprint_index(h, p[i].index);
      h = fnv1a_f64(h, p[i].value);
    }
    h_ = h;
    next_ = end_;
  }

  uint64_t h_;
  const SparseVector* pairs_ = nullptr;
  size_t next_ = 0;
  size_t end_ = 0;
};

}  // namespace sorvane
