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
// decision, reusing its work and its buffers across the candidates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fingerprint.hpp"
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
  // Steps the fingerprint chain from inside its loops (fingerprint.hpp).
  void hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out,
                 FingerprintChain& chain);

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

  uint32_t slot_for(std::string_view text, FingerprintChain& chain);
  void grow_table();
  void sort_by_index(size_t n, uint32_t bits, FingerprintChain& chain);

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

}  // namespace sorvane
