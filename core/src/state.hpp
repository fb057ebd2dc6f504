// The state snapshot: every field of a BanditState in a fixed little-endian
// layout behind the magic "sorvane\0" and a format version, closed by an
// FNV-1a 64 checksum over every byte before it. The text form writes each
// byte as two lowercase hexadecimal digits.
//
// One walk over the fields writes either form. Reading works on the text
// directly: the binary snapshot is never held in memory while a state is
// decoded, so loading a bits-24 state (256 MiB of model) costs its text and
// the new state, nothing more.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "error.hpp"

namespace sorvane {

struct BanditState;

// Receives the snapshot's text in consecutive pieces.
class TextSink {
 public:
  virtual void write(std::string_view piece) = 0;

 protected:
  ~TextSink() = default;
};

// Pieces are at most this many characters: small enough to stay in cache,
// large enough that handing one over costs nothing next to writing it.
inline constexpr size_t kTextPiece = size_t{1} << 19;

// The snapshot's hexadecimal text; never fails.
std::string snapshot_hex(const BanditState& state);

// The same text in pieces of at most kTextPiece characters, for a caller that
// copies it elsewhere and should not hold it twice. Never fails.
void snapshot_hex(const BanditState& state, TextSink& out);

// Decodes hexadecimal text (either case), then the snapshot, reporting the
// first failing check. Never allocates from a stored count before the data
// it counts is present, so what it allocates is bounded by the text's size.
Result<BanditState> state_from_hex(std::string_view text);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool valid_utf8(std::string_view bytes);

}  // namespace sorvane
