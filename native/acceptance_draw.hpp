// The long-run replay's acceptance draw: a uniform number in [0, 1) from
// the replay's seed prefix and a decision's id, the top 53 bits of an
// 8-byte BLAKE2b digest of prefix + id, read little-endian. The Python
// toolkit draws it with hashlib's blake2b, so both paths keep and refuse
// the same decisions.
#pragma once

#include <cstdint>
#include <string_view>

namespace sorvane::toolkit {

// The 8-byte unkeyed BLAKE2b digest of `a` followed by `b`, as a
// little-endian integer.
uint64_t blake2b_64(std::string_view a, std::string_view b);

inline double acceptance_uniform(std::string_view prefix, std::string_view decision_id) {
  return static_cast<double>(blake2b_64(prefix, decision_id) >> 11) * 0x1.0p-53;
}

}  // namespace sorvane::toolkit
