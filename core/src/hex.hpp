// The hexadecimal codec of the snapshot's text form: each byte as two
// digits, high nibble first; lowercase when written, either case when read.
// Eight digits are tested and decoded at a time as one 64-bit word.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sorvane::hex {

namespace detail {
constexpr std::array<char, 512> digit_pairs() {
  std::array<char, 512> t{};
  constexpr char digits[] = "0123456789abcdef";
  for (int b = 0; b < 256; ++b) {
    t[2 * b] = digits[b >> 4];
    t[2 * b + 1] = digits[b & 15];
  }
  return t;
}
inline constexpr std::array<char, 512> kDigitPairs = digit_pairs();
inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kHighs = 0x8080808080808080ULL;
}  // namespace detail

// Writes 2 * n lowercase digits for n bytes at out.
inline void encode(char* out, const unsigned char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) std::memcpy(out + 2 * i, &detail::kDigitPairs[2 * bytes[i]], 2);
}

inline uint64_t load8(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

inline bool is_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Bit 7 set in every byte of x that is not a hexadecimal digit of either
// case. Each byte is tested on its own: no sum below carries across bytes.
inline uint64_t non_digits(uint64_t x) {
  using detail::kHighs;
  using detail::kOnes;
  const uint64_t low7 = x & ~kHighs;
  const uint64_t digit = (low7 + kOnes * (0x80 - '0')) & ~(low7 + kOnes * (0x7F - '9'));
  const uint64_t folded = low7 | (kOnes * 0x20);
  const uint64_t letter = (folded + kOnes * (0x80 - 'a')) & ~(folded + kOnes * (0x7F - 'f'));
  return (x | ~(digit | letter)) & kHighs;
}

// The four bytes spelled by eight digits, first byte lowest. Digits of
// either case: the low nibble, plus 9 for a letter (bit 6 set).
inline uint32_t decode8(uint64_t x) {
  using detail::kOnes;
  uint64_t v = (x & (kOnes * 0x0F)) + ((x >> 6) & kOnes) * 9;
  v = ((v & 0x00FF00FF00FF00FFULL) << 4) | ((v >> 8) & 0x00FF00FF00FF00FFULL);
  v = (v | (v >> 8)) & 0x0000FFFF0000FFFFULL;
  v = (v | (v >> 16)) & 0x00000000FFFFFFFFULL;
  return static_cast<uint32_t>(v);
}

// The little-endian word spelled by sixteen digits.
inline uint64_t decode16(const char* p) {
  return decode8(load8(p)) | (uint64_t{decode8(load8(p + 8))} << 32);
}

// The byte spelled by two digits.
inline uint8_t decode2(const char* p) {
  auto nibble = [](char c) { return static_cast<uint8_t>((c & 0x0F) + ((c >> 6) & 1) * 9); };
  return static_cast<uint8_t>((nibble(p[0]) << 4) | nibble(p[1]));
}

}  // namespace sorvane::hex
