// JsonText: the bytes of one compact JSON text being written, with the
// scalar forms of the interpreter's json.dumps under its defaults: strings
// escaped to ASCII, floats as their repr, NaN and the infinities as the
// tokens NaN, Infinity and -Infinity.
//
// Lines up to kInline bytes are written without touching the heap; longer
// ones grow one heap buffer. Nothing is kept between uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "pyref.hpp"

namespace sorvane::py {

class JsonText {
 public:
  JsonText() = default;
  JsonText(const JsonText&) = delete;
  JsonText& operator=(const JsonText&) = delete;

  void raw(std::string_view s);
  void raw(char c) { *room(1) = c; ++size_; }
  void u64(uint64_t v);
  void i64(int64_t v);
  // The repr of v (shortest digits that read back as v, fixed notation for
  // decimal exponents from -4 to 15, ".0" on integral values), or NaN,
  // Infinity, -Infinity.
  void f64(double v);
  // A quoted JSON string from UTF-8 text: quote and backslash escaped, \n
  // \r \t \b \f short, other bytes below 0x20 and 0x7f as \u00XX, every
  // character outside ASCII as lowercase \uXXXX (a surrogate pair above
  // the BMP). False if the bytes are not well-formed UTF-8; the text
  // written so far is then unspecified.
  bool string(std::string_view utf8);

  // The text as a new str (it is ASCII throughout).
  PyObject* to_str() const;

 private:
  static constexpr size_t kInline = 8192;
  // Room for the longest float text: a sign, 17 digits, the point and a
  // five-character exponent ("e-308"), or "0.000" and 17 digits.
  static constexpr size_t kFloatMax = 32;
  // Room for at least n more bytes; returns where they go.
  char* room(size_t n) { return cap_ - size_ >= n ? data_ + size_ : grow(n); }
  char* grow(size_t n);

  char* data_ = inline_;
  size_t size_ = 0;
  size_t cap_ = kInline;
  std::unique_ptr<char[]> heap_;
  char inline_[kInline];
};

}  // namespace sorvane::py
