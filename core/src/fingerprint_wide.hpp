// The candidate fingerprints of several decisions at once, four side by
// side: each fingerprint is one serial chain of multiplications, whose
// latency would keep the multiplier idle; four independent chains keep it
// busy. For decisions hashed ahead of their turn, with no other work to hide
// a chain behind. The values are the rule's (fingerprint.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "types.hpp"

namespace sorvane {

// out[i] is the fingerprint of vectors[i] in a space of dims[i]
// coordinates. All three spans have the same length. Allocates nothing.
void candidate_fingerprints(std::span<const CandidateVectors* const> vectors,
                            std::span<const uint64_t> dims, std::span<uint64_t> out);

}  // namespace sorvane
