// The engine's two hash primitives: FNV-1a 64 and the SplitMix64 finaliser.
// Feature keys, the draw, the candidate fingerprint and the snapshot
// checksum are all made from these; nothing else in the engine hashes.
// Integers enter FNV-1a as their 8 little-endian bytes, floats as the 8
// little-endian bytes of their bit pattern.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sorvane {

inline constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
inline constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

// Continues FNV-1a 64 from h over n bytes.
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
}  // namespace detail

// kFnvPrimePow[k] is the prime to the k-th power, modulo 2**64: k steps
// over zero bytes (XOR with zero is the identity) are one multiplication.
inline constexpr std::array<uint64_t, 9> kFnvPrimePow = detail::prime_powers();

// Continues FNV-1a over the 8 little-endian bytes of v, each run of zero
// bytes taken as one multiplication: most high bytes of indices, counts and
// many float patterns are zero, so the serial chain gets shorter. The
// branches depend on v alone, never on h, so they resolve ahead of the
// multiplication chain.
inline uint64_t fnv1a_u64(uint64_t h, uint64_t v) {
  int left = 8;
  while (v != 0) {
    const int zeros = std::countr_zero(v) >> 3;
    if (zeros != 0) {
      h *= kFnvPrimePow[zeros];
      v >>= 8 * zeros;
    }
    h = (h ^ (v & 0xFF)) * kFnvPrime;
    v >>= 8;
    left -= zeros + 1;
  }
  if (left != 0) h *= kFnvPrimePow[left];
  return h;
}

// The same eight steps without a branch on v's bytes, for a chain stepped
// inside other loops, where a mispredicted branch would throw away that
// loop's work too.
inline uint64_t fnv1a_u64_branchless(uint64_t h, uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    h = (h ^ (v & 0xFF)) * kFnvPrime;
    v >>= 8;
  }
  return h;
}

inline uint64_t fnv1a_f64(uint64_t h, double v) { return fnv1a_u64(h, std::bit_cast<uint64_t>(v)); }

// The SplitMix64 finaliser.
inline uint64_t splitmix_finalise(uint64_t h) {
  uint64_t z = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace sorvane
