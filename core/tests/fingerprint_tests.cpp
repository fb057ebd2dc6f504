// The candidate fingerprint: a known value, the rule in bytes, the chain and
// the four-wide form against the rule.
#include <bit>
#include <random>
#include <vector>

#include "check.hpp"
#include "fingerprint.hpp"
#include "fingerprint_chain.hpp"
#include "fingerprint_wide.hpp"

using namespace sorvane;
using namespace sorvane::testing;

namespace {

void fingerprint_pins_a_known_value() {
  CandidateVectors v;
  v.pairs = {{11, 1.0}, {14, -1.0}};
  v.ends = {2};
  CHECK(candidate_fingerprint(v, 16) == 0x4dbd40a61fb1556fULL);
  // The rule spelled out in bytes.
  std::vector<unsigned char> bytes;
  auto word = [&](uint64_t w) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(w >> (8 * i)));
  };
  word(1), word(16), word(2), word(11), word(std::bit_cast<uint64_t>(1.0)), word(14),
      word(std::bit_cast<uint64_t>(-1.0));
  CHECK(fnv1a(kFnvOffset, bytes.data(), bytes.size()) == 0x4dbd40a61fb1556fULL);
}

// Up to four candidates of up to 40 pairs, some empty, with indices at and
// above 2**24 and values with and without zero bytes.
CandidateVectors random_vectors(std::mt19937_64& rng) {
  CandidateVectors v;
  const size_t n = rng() % 5;
  for (size_t c = 0; c < n; ++c) {
    const size_t pairs = rng() % 40;
    uint64_t index = rng() % 3;
    for (size_t k = 0; k < pairs; ++k) {
      index += 1 + (rng() % 2 ? rng() % 100 : rng() % (uint64_t{1} << 26));
      const double value = rng() % 2 ? static_cast<double>(rng() % 5) - 2.0 + 0.5
                                     : std::bit_cast<double>(rng() >> 2);
      v.pairs.push_back({index, value});
    }
    v.ends.push_back(v.pairs.size());
  }
  return v;
}

// The chain gives the rule's hash however its steps are spread: none, some
// or all of the pairs stepped by a cursor before the rest is drained.
void fingerprint_chain_matches_the_rule() {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 200; ++round) {
    CandidateVectors v = random_vectors(rng);
    const size_t n = v.size();
    const uint64_t dim = uint64_t{1} << (1 + rng() % 40);
    FingerprintChain chain(n);
    for (size_t c = 0; c < n; ++c) {
      const size_t begin = c == 0 ? 0 : v.ends[c - 1];
      chain.add(dim, v.pairs, begin, v.ends[c]);
      FingerprintChain::Cursor cursor = chain.take();
      const size_t steps = rng() % 50;
      for (size_t k = 0; k < steps; ++k) cursor.step();
      chain.put(cursor);
    }
    CHECK(chain.value() == candidate_fingerprint(v, dim));
  }
}

// Fingerprints made four at a time are the rule's, for any number of
// decisions of any sizes: chains that end early, absent ones, empty ones.
void fingerprints_side_by_side_match_the_rule() {
  std::mt19937_64 rng(29);
  for (int round = 0; round < 200; ++round) {
    const size_t count = rng() % 10;
    std::vector<CandidateVectors> vectors(count);
    std::vector<const CandidateVectors*> pointers;
    std::vector<uint64_t> dims;
    for (CandidateVectors& v : vectors) {
      v = random_vectors(rng);
      pointers.push_back(&v);
      dims.push_back(uint64_t{1} << (1 + rng() % 40));
    }
    std::vector<uint64_t> out(count, 0);
    candidate_fingerprints(pointers, dims, out);
    bool all_same = true;
    for (size_t k = 0; k < count; ++k) all_same = all_same && out[k] == candidate_fingerprint(vectors[k], dims[k]);
    CHECK(all_same);
  }
}

}  // namespace

void run_fingerprint_tests() {
  fingerprint_pins_a_known_value();
  fingerprint_chain_matches_the_rule();
  fingerprints_side_by_side_match_the_rule();
}
