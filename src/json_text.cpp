#include "json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

namespace sorvane::py {

namespace {

// Bytes that pass through a JSON string unchanged: printable ASCII except
// the quote and the backslash (DEL is escaped, as json.dumps does).
struct PlainTable {
  bool plain[256] = {};
  constexpr PlainTable() {
    for (int c = 0x20; c < 0x7f; ++c) plain[c] = c != '"' && c != '\\';
  }
};
constexpr PlainTable kPlain;

constexpr char kHex[] = "0123456789abcdef";

char* unicode_escape(char* w, uint32_t unit) {
  w[0] = '\\';
  w[1] = 'u';
  w[2] = kHex[(unit >> 12) & 0xf];
  w[3] = kHex[(unit >> 8) & 0xf];
  w[4] = kHex[(unit >> 4) & 0xf];
  w[5] = kHex[unit & 0xf];
  return w + 6;
}

bool continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// Decodes the multi-byte sequence at p (p[0] >= 0x80); returns its length,
// or 0 if it is not well-formed (overlong, a surrogate, above U+10FFFF,
// truncated).
size_t decode(const unsigned char* p, const unsigned char* end, uint32_t& cp) {
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
    if (!continuation(p[i])) return 0;
    cp = (cp << 6) | (p[i] & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp < 0xe000)) return 0;
  return n;
}

}  // namespace

char* JsonText::grow(size_t n) {
  size_t cap = cap_ * 2;
  while (cap - size_ < n) cap *= 2;
  auto bigger = std::make_unique<char[]>(cap);
  std::memcpy(bigger.get(), data_, size_);
  heap_ = std::move(bigger);
  data_ = heap_.get();
  cap_ = cap;
  return data_ + size_;
}

void JsonText::raw(std::string_view s) {
  std::memcpy(room(s.size()), s.data(), s.size());
  size_ += s.size();
}

void JsonText::u64(uint64_t v) {
  char* w = room(20);
  size_ = static_cast<size_t>(std::to_chars(w, w + 20, v).ptr - data_);
}

void JsonText::i64(int64_t v) {
  char* w = room(20);
  size_ = static_cast<size_t>(std::to_chars(w, w + 20, v).ptr - data_);
}

bool JsonText::f64(double v) {
  if (std::isnan(v)) {
    raw("NaN");
    return true;
  }
  if (std::isinf(v)) {
    raw(v > 0 ? std::string_view("Infinity") : std::string_view("-Infinity"));
    return true;
  }
  if (short_decimal(v)) return true;
  char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  raw(std::string_view(text));
  PyMem_Free(text);
  return true;
}

// The interpreter's general formatter costs far more than the rest of a
// line, so the common values are written here, where their repr is known
// exactly without it:
//  - an integral value below 1e16 is written as the integer's own digits
//    and ".0" (fixed notation reaches up to 1e16);
//  - a value from 1e-4 (where fixed notation starts) that equals m / 10**k
//    for an integer m below 1e15 and k <= kMaxDecimals. m and 10**k are
//    exact doubles, so the division rounds the decimal exactly as reading
//    its text does; and two decimals of at most 15 significant digits never
//    read as the same double, so the shortest text that reads back as v is
//    m's digits with k of them after the point.
// Anything else returns false and goes to the general formatter.
bool JsonText::short_decimal(double v) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
  static constexpr uint64_t kPow10u[] = {1,      10,      100,      1000,      10000,     100000,
                                         1000000, 10000000, 100000000, 1000000000, 10000000000};
  static constexpr int kMaxDecimals = 10;
  const double magnitude = std::fabs(v);
  if (magnitude < 1e16 && magnitude == std::floor(magnitude)) {
    if (std::signbit(v)) raw('-');
    u64(static_cast<uint64_t>(magnitude));
    raw(".0");
    return true;
  }
  if (magnitude < 1e-4 || magnitude >= 1e15) return false;
  for (int k = 1; k <= kMaxDecimals; ++k) {
    const double scaled = magnitude * kPow10[k];
    if (scaled >= 1e15) return false;
    const double m = std::nearbyint(scaled);
    if (m / kPow10[k] != magnitude) continue;
    auto digits = static_cast<uint64_t>(m);
    int decimals = k;
    while (decimals > 0 && digits % 10 == 0) digits /= 10, --decimals;
    if (v < 0) raw('-');
    u64(digits / kPow10u[decimals]);
    char* w = room(decimals + 1);
    *w++ = '.';
    uint64_t fraction = digits % kPow10u[decimals];
    for (int i = decimals - 1; i >= 0; --i) {
      w[i] = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    size_ += static_cast<size_t>(decimals) + 1;
    return true;
  }
  return false;
}

bool JsonText::string(std::string_view utf8) {
  // Six output bytes per input byte at most, plus the quotes.
  char* w = room(6 * utf8.size() + 2);
  *w++ = '"';
  auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    const unsigned char c = *p;
    if (kPlain.plain[c]) {
      *w++ = static_cast<char>(c);
      ++p;
      continue;
    }
    if (c < 0x80) {
      char short_form = 0;
      switch (c) {
        case '"': short_form = '"'; break;
        case '\\': short_form = '\\'; break;
        case '\n': short_form = 'n'; break;
        case '\r': short_form = 'r'; break;
        case '\t': short_form = 't'; break;
        case '\b': short_form = 'b'; break;
        case '\f': short_form = 'f'; break;
        default: break;
      }
      if (short_form != 0) {
        *w++ = '\\';
        *w++ = short_form;
      } else {
        w = unicode_escape(w, c);
      }
      ++p;
      continue;
    }
    uint32_t cp;
    const size_t n = decode(p, end, cp);
    if (n == 0) return false;
    if (cp < 0x10000) {
      w = unicode_escape(w, cp);
    } else {
      cp -= 0x10000;
      w = unicode_escape(w, 0xd800 | (cp >> 10));
      w = unicode_escape(w, 0xdc00 | (cp & 0x3ff));
    }
    p += n;
  }
  *w++ = '"';
  size_ = static_cast<size_t>(w - data_);
  return true;
}

PyObject* JsonText::to_str() const {
  return PyUnicode_DecodeASCII(data_, static_cast<Py_ssize_t>(size_), nullptr);
}

}  // namespace sorvane::py
