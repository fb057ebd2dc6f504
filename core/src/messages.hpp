// Every fixed text an engine operation can fail with, each written once.
// Callers compare them by text, so they are part of the engine's contract.
#pragma once

namespace sorvane::msg {

// Configuration (create, and the snapshot reader for stored fields).
inline constexpr const char* kBits = "bits must be between 1 and 24";
inline constexpr const char* kHorizon = "horizon must be positive";
inline constexpr const char* kEpsilon = "epsilon must be in [0, 1]";
inline constexpr const char* kDim = "dim must be at least 1";
inline constexpr const char* kForgetting = "forgetting must be in (0, 1] (1.0 = never forget)";
inline constexpr const char* kRidge = "ridge must be positive";
inline constexpr const char* kScale = "scale must be in (0, 1]";
inline constexpr const char* kNotPowerOfTwo =
    "model dimension is not 2**bits for bits in [1, 24]; the state was not built by create()";

// A decision.
inline constexpr const char* kNoCandidate = "need at least one candidate";
inline constexpr const char* kVectorOrder =
    "candidate features must be (index, value) pairs in strictly increasing index order "
    "within the model dimension";
inline constexpr const char* kVectorZero = "candidate feature values must be nonzero";
inline constexpr const char* kScore = "score must return one finite estimate per candidate";
inline constexpr const char* kExploreCount = "explore must return one probability per candidate";
inline constexpr const char* kExploreValue =
    "explore probabilities must be finite, nonnegative, and sum to 1";
// decide_hashed given candidates hashed at other bits than the state's.
inline constexpr const char* kHashedBits = "the candidates were hashed at other bits than the state's";

// Reading a snapshot. The version message is followed by the stored number.
inline constexpr const char* kNotHex = "state must be a hexadecimal string";
inline constexpr const char* kTruncated = "truncated state";
inline constexpr const char* kBadMagic = "not a sorvane state (bad magic)";
inline constexpr const char* kChecksum = "state checksum mismatch";
inline constexpr const char* kVersionPrefix = "unsupported state format version ";
inline constexpr const char* kNotUtf8 = "state string is not valid UTF-8";
inline constexpr const char* kRecordFeatures =
    "record features must be (index, value) pairs in strictly increasing index order within "
    "the model dimension, values nonzero";
inline constexpr const char* kTrailing = "trailing bytes in state";

}  // namespace sorvane::msg
