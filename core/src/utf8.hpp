// UTF-8: one decoder for the engine and its host. Well-formed means no
// overlong forms, no surrogates and nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sorvane {

// Decodes the multi-byte sequence at p (p[0] >= 0x80, p < end) into cp and
// returns its length, or 0 when it is not well-formed or runs past end.
inline size_t decode_utf8(const unsigned char* p, const unsigned char* end, uint32_t& cp) {
  const unsigned char c = p[0];
  size_t n;
  uint32_t min;
  if (c >= 0xc0 && c < 0xe0) {
    n = 2, cp = c & 0x1f, min = 0x80;
  } else if (c >= 0xe0 && c < 0xf0) {
    n = 3, cp = c & 0x0f, min = 0x800;
  } else if (c >= 0xf0 && c < 0xf5) {
    n = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp < 0xe000)) return 0;
  return n;
}

// True when the bytes are well-formed UTF-8.
inline bool valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    uint32_t cp;
    const size_t n = decode_utf8(p, end, cp);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

}  // namespace sorvane
