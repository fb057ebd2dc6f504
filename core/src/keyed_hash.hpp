// SipHash-1-3: a keyed hash of texts, for the tables indexed by texts the
// host or a log chooses (the ledger's ids, a salt it picks or a snapshot it
// hands over; the toolkit's pending ids and feature names). An unkeyed hash
// lets them pile every text into a few buckets; without the key they cannot
// aim. Nothing observable may depend on this hash, only how long a lookup
// takes: no table using it is ever walked in its own order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace sorvane {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

namespace detail {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

}  // namespace detail

// A key no host picks or sees, different at every call (keyed_hash.cpp).
HashKey fresh_hash_key();

inline uint64_t keyed_hash(const HashKey& key, std::string_view text) {
  detail::SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                     key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const size_t whole = n & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.absorb(detail::load_le64(p + i));
  uint64_t last = static_cast<uint64_t>(n) << 56;
  for (size_t i = whole; i < n; ++i) last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// For unordered containers of texts, a fresh key per container.
struct KeyedTextHash {
  HashKey key = fresh_hash_key();
  size_t operator()(std::string_view text) const { return static_cast<size_t>(keyed_hash(key, text)); }
};

}  // namespace sorvane
