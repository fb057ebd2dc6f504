// Feature hashing: the context and each candidate become one SparseVector per
// candidate in a space of 2**bits coordinates. Every (context term, candidate
// term) pair is one coordinate, found by FNV-1a 64 over the two texts joined
// by the byte 0x1F and the SplitMix64 finaliser, with a sign from bit 63.
//
// FNV-1a 64 and the finaliser are the engine's only hash functions: the
// draw, the candidate fingerprint and the snapshot checksum use these too.
#pragma once

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

// Continues FNV-1a over the 8 little-endian bytes of v. A run of k zero bytes
// is one multiplication by the prime's k-th power (XOR with zero is the
// identity), which shortens the serial chain: most high bytes of indices,
// counts and many float patterns are zero.
uint64_t fnv1a_u64(uint64_t h, uint64_t v);

inline uint64_t splitmix_finalise(uint64_t h) {
  uint64_t z = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

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
class FeatureHasher {
 public:
  // Builds the context term list: the bias term, then one term per
  // non-absent feature in name order. Cannot fail.
  void set_context(std::span<const NamedFeature> context);

  // Appends the candidate's SparseVector to `out`. bits must be in 1..24.
  void hash_into(const Candidate& candidate, uint32_t bits, SparseVector& out);

 private:
  struct Term {
    size_t offset;  // into term_bytes_
    size_t size;
    double weight;
  };
  void build_candidate_terms(const Candidate& candidate);

  std::vector<uint64_t> prefix_;       // FNV state after each context term and 0x1F
  std::vector<double> context_weight_;
  std::vector<const NamedFeature*> order_;
  std::string term_bytes_;
  std::vector<Term> terms_;
  std::vector<uint64_t> keys_;         // (index << 40) | emission position
  std::vector<double> values_;         // by emission position
};

// One candidate's vector on its own, for callers outside the decision path.
Result<SparseVector> hash_candidate(std::span<const NamedFeature> context,
                                    const Candidate& candidate, uint32_t bits);

}  // namespace sorvane
