// Decisions whose candidates were hashed ahead of their turn: a host that
// replays a log reads and hashes lines on several threads, then decides in
// the log's order. Three operations: hash_candidates makes a decision's
// vectors exactly as decide does; fingerprint_hashed makes the fingerprints
// of several decisions side by side; decide_hashed decides on them.
//
// hash_candidates reads no state, so threads may hash different decisions at
// once, each with a FeatureHasher of its own; only decide_hashed, on the
// state, must follow the log's order. A learner that wants a decision's
// vectors as decide makes them needs hash_candidates and nothing else here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "api.hpp"
#include "hashing.hpp"

namespace sorvane {

// A decision's candidates hashed at `bits`: one vector per candidate, in
// order, and their fingerprint once fingerprint_hashed has made it.
struct HashedCandidates {
  uint32_t bits = 0;
  CandidateVectors vectors;
  std::optional<uint64_t> fingerprint;
};

// Hashes the candidates against the context at bits (1..24, else the bits
// error) into `out`, reusing its buffers, and clears its fingerprint. The
// vectors are decide's, pair for pair, bit for bit. The hasher's buffers
// grow to the largest decision and are reused; nothing else is allocated
// once they have. Does not make the fingerprint (decide.cpp).
Status hash_candidates(FeatureHasher& hasher, uint32_t bits, std::span<const NamedFeature> context,
                       std::span<const Candidate> candidates, HashedCandidates& out);

// Makes the fingerprint of each, four side by side (fingerprint_wide.hpp
// says why that pays). Allocates nothing (decide.cpp).
void fingerprint_hashed(std::span<HashedCandidates* const> hashed);

// decide on the inputs `hashed` was made from: the same checks, record and
// commit, without hashing again; a fingerprint not made yet is made here.
// Candidates hashed at other bits than the state's are refused, and a
// failure changes nothing in the state. Uses the estimates' and the
// probabilities' buffers in `scratch` (decide.cpp).
Result<DecisionRecord> decide_hashed(BanditState& state, DecideScratch& scratch,
                                     const HashedCandidates& hashed, double t, std::string_view salt,
                                     ScoreTap* score, ExploreTap* explore);

}  // namespace sorvane
