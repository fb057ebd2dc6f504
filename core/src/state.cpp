#include "state.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "api.hpp"

namespace sorvane {

static_assert(std::endian::native == std::endian::little,
              "the snapshot is read and written as little-endian words");

namespace {

constexpr char kMagic[8] = {'s', 'o', 'r', 'v', 'a', 'n', 'e', '\0'};
constexpr uint64_t kFormatVersion = 1;
constexpr size_t kFixedBytes = 104;  // every field but the model arrays and records

constexpr const char* kNotHex = "state must be a hexadecimal string";
constexpr const char* kTruncated = "truncated state";
constexpr const char* kRecordFeatures =
    "record features must be (index, value) pairs in strictly increasing index order within "
    "the model dimension, values nonzero";

constexpr std::array<char, 512> hex_pairs() {
  std::array<char, 512> t{};
  constexpr char digits[] = "0123456789abcdef";
  for (int b = 0; b < 256; ++b) {
    t[2 * b] = digits[b >> 4];
    t[2 * b + 1] = digits[b & 15];
  }
  return t;
}
constexpr std::array<char, 512> kHexPairs = hex_pairs();

// 0..15 for a hexadecimal digit of either case, 0x80 for anything else.
constexpr std::array<uint8_t, 256> hex_values() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = 0x80;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
  return t;
}
constexpr std::array<uint8_t, 256> kHexValue = hex_values();

// Writes bytes as hex into a buffer sized in advance, hashing them as it goes.
class HexWriter {
 public:
  explicit HexWriter(char* out) : out_(out) {}

  void u64(uint64_t v) {
    hash_ = fnv1a_u64(hash_, v);
    for (int k = 0; k < 8; ++k) put(static_cast<uint8_t>(v >> (8 * k)));
  }
  void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
  void text(std::string_view s) {
    u64(s.size());
    hash_ = fnv1a(hash_, s);
    for (char c : s) put(static_cast<uint8_t>(c));
  }
  void doubles(const double* v, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) f64(v[i]);
  }
  // The checksum covers every byte written before it.
  void checksum() {
    const uint64_t h = hash_;
    for (int k = 0; k < 8; ++k) put(static_cast<uint8_t>(h >> (8 * k)));
  }

 private:
  void put(uint8_t b) {
    std::memcpy(out_, &kHexPairs[2 * b], 2);
    out_ += 2;
  }
  char* out_;
  uint64_t hash_ = kFnvOffset;
};

size_t record_bytes(const DecisionRecord& r) {
  return 64 + r.decision_id.size() + r.salt.size() + 16 * r.features.size();
}

// Reads fields from hex text up to the start of the checksum. Every digit has
// already been validated.
class HexReader {
 public:
  HexReader(const char* hex, size_t limit) : hex_(hex), limit_(limit) {}

  size_t remaining() const { return limit_ - pos_; }
  size_t position() const { return pos_; }
  void seek(size_t pos) { pos_ = pos; }

  bool u64(uint64_t& v) {
    if (remaining() < 8) return false;
    v = decode_u64(hex_ + 2 * pos_);
    pos_ += 8;
    return true;
  }
  bool f64(double& v) {
    uint64_t bits;
    if (!u64(bits)) return false;
    v = std::bit_cast<double>(bits);
    return true;
  }
  // Length-prefixed text; the length is checked against what is left before
  // anything is allocated.
  bool text(std::string& s) {
    uint64_t n;
    if (!u64(n) || n > remaining()) return false;
    s.resize(static_cast<size_t>(n));
    const char* p = hex_ + 2 * pos_;
    for (size_t i = 0; i < n; ++i)
      s[i] = static_cast<char>((kHexValue[static_cast<uint8_t>(p[2 * i])] << 4) |
                               kHexValue[static_cast<uint8_t>(p[2 * i + 1])]);
    pos_ += static_cast<size_t>(n);
    return true;
  }
  void doubles(double* out, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
      out[i] = std::bit_cast<double>(decode_u64(hex_ + 2 * pos_));
      pos_ += 8;
    }
  }

  static uint64_t decode_u64(const char* p) {
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) {
      const uint64_t b = (kHexValue[static_cast<uint8_t>(p[2 * k])] << 4) |
                         kHexValue[static_cast<uint8_t>(p[2 * k + 1])];
      v |= b << (8 * k);
    }
    return v;
  }

 private:
  const char* hex_;
  size_t limit_;
  size_t pos_ = 0;
};

// Validates every digit and returns FNV-1a 64 of the first `hashed` bytes.
bool scan_hex(std::string_view text, size_t hashed, uint64_t& hash) {
  uint8_t bad = 0;
  for (char c : text) bad |= kHexValue[static_cast<uint8_t>(c)];
  if (bad & 0x80) return false;
  uint64_t h = kFnvOffset;
  const char* p = text.data();
  size_t i = 0;
  for (; i + 8 <= hashed; i += 8) h = fnv1a_u64(h, HexReader::decode_u64(p + 2 * i));
  for (; i < hashed; ++i) {
    const uint8_t b = static_cast<uint8_t>((kHexValue[static_cast<uint8_t>(p[2 * i])] << 4) |
                                           kHexValue[static_cast<uint8_t>(p[2 * i + 1])]);
    h = (h ^ b) * kFnvPrime;
  }
  hash = h;
  return true;
}

Result<DecisionRecord> read_record(HexReader& in, uint64_t dim) {
  DecisionRecord r;
  if (!in.text(r.decision_id)) return fail(kTruncated);
  if (!valid_utf8(r.decision_id)) return fail("state string is not valid UTF-8");
  uint64_t count;
  if (!in.f64(r.t) || !in.u64(r.candidate_hash) || !in.u64(r.chosen) || !in.u64(count))
    return fail(kTruncated);
  // Grow with the pairs actually present, never from the stored count alone.
  r.features.reserve(static_cast<size_t>(std::min<uint64_t>(count, in.remaining() / 16)));
  for (uint64_t k = 0; k < count; ++k) {
    FeaturePair p;
    if (!in.u64(p.index) || !in.f64(p.value)) return fail(kTruncated);
    if (p.index >= dim || (k > 0 && p.index <= r.features.back().index) || p.value == 0.0)
      return fail(kRecordFeatures);
    r.features.push_back(p);
  }
  if (!in.f64(r.propensity) || !in.u64(r.model_version) || !in.text(r.salt)) return fail(kTruncated);
  if (!valid_utf8(r.salt)) return fail("state string is not valid UTF-8");
  return r;
}

}  // namespace

std::string snapshot_hex(const BanditState& state) {
  const LinearModel& m = state.model;
  size_t bytes = kFixedBytes + 16 * static_cast<size_t>(m.dim());
  state.ledger.for_each([&](const DecisionRecord& r) { bytes += record_bytes(r); });
  std::string text(2 * bytes, '\0');
  HexWriter out(text.data());
  out.u64(std::bit_cast<uint64_t>(kMagic));
  out.u64(kFormatVersion);
  out.u64(m.dim());
  out.f64(m.ridge());
  out.f64(m.forgetting());
  out.f64(m.scale());
  out.doubles(m.sq_sums(), m.dim());
  out.doubles(m.reward_sums(), m.dim());
  out.u64(state.decision_count);
  out.u64(state.model_version);
  out.f64(state.horizon);
  out.f64(state.default_reward);
  out.f64(state.epsilon);
  out.u64(state.ledger.size());
  state.ledger.for_each([&](const DecisionRecord& r) {
    out.text(r.decision_id);
    out.f64(r.t);
    out.u64(r.candidate_hash);
    out.u64(r.chosen);
    out.u64(r.features.size());
    for (const FeaturePair& p : r.features) {
      out.u64(p.index);
      out.f64(p.value);
    }
    out.f64(r.propensity);
    out.u64(r.model_version);
    out.text(r.salt);
  });
  out.checksum();
  return text;
}

Result<BanditState> state_from_hex(std::string_view text) {
  if (text.size() % 2 != 0) return fail(kNotHex);
  const size_t length = text.size() / 2;
  const size_t body = length < 8 ? 0 : length - 8;  // bytes before the checksum
  uint64_t computed;
  if (!scan_hex(text, body, computed)) return fail(kNotHex);
  if (length < 24) return fail(kTruncated);

  HexReader in(text.data(), body);
  uint64_t magic = 0, version = 0, stored;
  in.u64(magic);
  in.u64(version);
  if (magic != std::bit_cast<uint64_t>(kMagic)) return fail("not a sorvane state (bad magic)");
  stored = HexReader::decode_u64(text.data() + 2 * body);
  if (stored != computed) return fail("state checksum mismatch");
  if (version != kFormatVersion)
    return fail(("unsupported state format version " + std::to_string(version)).c_str());

  uint64_t dim;
  double ridge, forgetting, scale;
  if (!in.u64(dim) || !in.f64(ridge) || !in.f64(forgetting) || !in.f64(scale)) return fail(kTruncated);
  if (dim == 0) return fail(kDimMessage);
  if (!forgetting_valid(forgetting)) return fail(kForgettingMessage);
  if (!ridge_valid(ridge)) return fail(kRidgeMessage);
  if (!scale_valid(scale)) return fail(kScaleMessage);

  // The arrays are allocated only once their bytes are known to be there.
  if (dim > in.remaining() / 16) return fail(kTruncated);
  DoubleArray sq_sums = zeroed_doubles(dim);
  in.doubles(sq_sums.get(), dim);
  DoubleArray reward_sums = zeroed_doubles(dim);
  in.doubles(reward_sums.get(), dim);

  uint64_t decision_count, model_version, record_count;
  double horizon, default_reward, epsilon;
  if (!in.u64(decision_count) || !in.u64(model_version) || !in.f64(horizon) ||
      !in.f64(default_reward) || !in.f64(epsilon))
    return fail(kTruncated);
  if (!horizon_valid(horizon)) return fail(kHorizonMessage);
  if (!epsilon_valid(epsilon)) return fail(kEpsilonMessage);

  BanditState state(LinearModel::adopt(dim, ridge, forgetting, scale, std::move(sq_sums),
                                       std::move(reward_sums)));
  state.decision_count = decision_count;
  state.model_version = model_version;
  state.horizon = horizon;
  state.default_reward = default_reward;
  state.epsilon = epsilon;

  if (!in.u64(record_count)) return fail(kTruncated);
  for (uint64_t k = 0; k < record_count; ++k) {
    Result<DecisionRecord> r = read_record(in, dim);
    if (!r.ok()) return std::move(r.error());
    state.ledger.append(std::move(r.value()));
  }
  if (in.remaining() != 0) return fail("trailing bytes in state");
  return state;
}

bool valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t min, cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace sorvane
