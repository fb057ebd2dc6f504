// The candidate fingerprint, a decision's candidate_hash: FNV-1a 64 over the
// number of candidates, then for each candidate in order the model
// dimension, its number of pairs and each pair's index and value bit
// pattern, every one as 8 little-endian bytes.
//
// candidate_fingerprint states the rule. The hash is one serial chain of
// multiplications, a few microseconds for a mid-sized decision, so two other
// forms make the same value faster: a decision steps a FingerprintChain
// (fingerprint_chain.hpp) from inside its other loops, and decisions hashed
// ahead are fingerprinted four side by side (fingerprint_wide.hpp). The
// engine's tests hold both to the rule.
#pragma once

#include <bit>
#include <cstdint>

#include "hash.hpp"
#include "types.hpp"

namespace sorvane {

// The rule, over the candidates' vectors in a space of dim coordinates.
uint64_t candidate_fingerprint(const CandidateVectors& vectors, uint64_t dim);

// Continues FNV-1a over an index's 8 bytes. Hashed indices lie below 2**24:
// three bytes, then five zero bytes.
inline uint64_t fingerprint_index(uint64_t h, uint64_t index) {
  if (index < (uint64_t{1} << 24)) {
    h = (h ^ (index & 0xFF)) * kFnvPrime;
    h = (h ^ ((index >> 8) & 0xFF)) * kFnvPrime;
    return (h ^ (index >> 16)) * kFnvPrimePow[6];
  }
  return fnv1a_u64(h, index);
}

// One pair into the hash, without a branch on the value's bytes: for a hash
// stepped beside other work, where a mispredicted branch would throw that
// work away too.
inline uint64_t fingerprint_pair(uint64_t h, const FeaturePair& p) {
  h = fingerprint_index(h, p.index);
  return fnv1a_u64_branchless(h, std::bit_cast<uint64_t>(p.value));
}

}  // namespace sorvane
