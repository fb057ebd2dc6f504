#include "json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "api.hpp"

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

// The float's repr, as the interpreter writes it: the shortest digits that
// read back as v (the closest such digits to v, ties to even), in fixed
// notation when the decimal exponent is from -4 to 15 (with ".0" on an
// integral value), else as d.ddde+XX with at least two exponent digits.
// v is finite. Writes at most kFloatMax bytes at w and returns the end.
//
// std::to_chars without a precision writes exactly those digits, in either
// notation (the long tests compare it with repr over random doubles); it
// is used instead of PyOS_double_to_string, which reaches the same text
// through allocating big-number arithmetic at several times the cost.
char* float_repr(double v, char* w) {
  if (std::signbit(v)) *w++ = '-';
  const double magnitude = std::fabs(v);
  if (magnitude < 1e16) {
    // An integral value is its own digits.
    const auto whole = static_cast<uint64_t>(magnitude);
    if (static_cast<double>(whole) == magnitude) {
      w = std::to_chars(w, w + 20, whole).ptr;
      *w++ = '.';
      *w++ = '0';
      return w;
    }
    // From 1e-4 the shortest digits of v never reach below the 4th decimal
    // place, so repr keeps fixed notation; the text always has a point,
    // since v is not integral.
    if (magnitude >= 1e-4) return std::to_chars(w, w + 24, magnitude, std::chars_format::fixed).ptr;
  }
  return std::to_chars(w, w + 24, magnitude, std::chars_format::scientific).ptr;
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

void JsonText::f64(double v) {
  if (std::isnan(v)) {
    raw("NaN");
  } else if (std::isinf(v)) {
    raw(v > 0 ? std::string_view("Infinity") : std::string_view("-Infinity"));
  } else {
    char* w = room(kFloatMax);
    size_ += static_cast<size_t>(float_repr(v, w) - w);
  }
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
    const size_t n = sorvane::decode_utf8(p, end, cp);
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
