// The state snapshot: every field of a BanditState in a fixed little-endian
// layout behind the magic "sorvane\0" and a format version, closed by an
// FNV-1a 64 checksum over every byte before it. The text form writes each
// byte as two lowercase hexadecimal digits.
//
// Both directions work on the text directly: the binary snapshot is never
// held in memory, so a bits-24 state (256 MiB of model) costs its text and
// the state, nothing more.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"

namespace sorvane {

struct BanditState;

// The snapshot's hexadecimal text; never fails.
std::string snapshot_hex(const BanditState& state);

// Decodes hexadecimal text (either case), then the snapshot, reporting the
// first failing check. Never allocates from a stored count before the data
// it counts is present.
Result<BanditState> state_from_hex(std::string_view text);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool valid_utf8(std::string_view bytes);

}  // namespace sorvane
