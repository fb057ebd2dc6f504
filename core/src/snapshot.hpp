// The state snapshot's layout: every field of a BanditState, little-endian,
// behind the magic "sorvane\0" and a format version, closed by an FNV-1a 64
// checksum over every byte before it. Every field is one 8-byte word (an
// unsigned integer, or a float's bit pattern) except texts, which are a
// word holding their byte length and then their UTF-8 bytes. In order:
//
//   magic, format version                                   kPreambleBytes
//   dim, ridge, forgetting, scale                           kModelFieldsBytes
//   sq_sums[0..dim), then reward_sums[0..dim)               kCoordinateBytes each
//   decision_count, model_version, horizon, default_reward,
//     epsilon, record count                                 kStateFieldsBytes
//   the ledger's records, in ledger order, each:
//     decision_id, t, candidate_hash, chosen, feature count,
//     (index, value) pairs, propensity, model_version, salt
//   checksum                                                kChecksumBytes
//
// The text form (serialize, deserialize in snapshot.cpp) writes each byte as
// two hexadecimal digits (hex.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "types.hpp"

namespace sorvane::snapshot {

inline constexpr char kMagic[8] = {'s', 'o', 'r', 'v', 'a', 'n', 'e', '\0'};
inline constexpr uint64_t kFormatVersion = 1;

inline constexpr size_t kWord = 8;
inline constexpr size_t kPreambleBytes = 2 * kWord;
inline constexpr size_t kModelFieldsBytes = 4 * kWord;
inline constexpr size_t kCoordinateBytes = 2 * kWord;
inline constexpr size_t kStateFieldsBytes = 6 * kWord;
inline constexpr size_t kChecksumBytes = kWord;
// Everything but the coordinates and the records.
inline constexpr size_t kFixedBytes =
    kPreambleBytes + kModelFieldsBytes + kStateFieldsBytes + kChecksumBytes;
// Below this a text cannot hold the magic, the version and the checksum.
inline constexpr size_t kShortestBytes = kPreambleBytes + kChecksumBytes;

// A record's words: the id's and the salt's lengths, t, candidate_hash,
// chosen, the feature count, propensity, model_version; then its texts'
// bytes and kPairBytes per feature pair.
inline constexpr size_t kRecordFixedBytes = 8 * kWord;
inline constexpr size_t kPairBytes = 2 * kWord;

inline size_t record_bytes(const DecisionRecord& r) {
  return kRecordFixedBytes + r.decision_id.size() + r.salt.size() + kPairBytes * r.features.size();
}

// A new state with bits 1 (two coordinates, no records) takes 136 bytes.
static_assert(kFixedBytes + 2 * kCoordinateBytes == 136);

}  // namespace sorvane::snapshot
