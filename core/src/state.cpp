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
constexpr const char* kNotUtf8 = "state string is not valid UTF-8";
constexpr const char* kRecordFeatures =
    "record features must be (index, value) pairs in strictly increasing index order within "
    "the model dimension, values nonzero";

// ---- writing ----------------------------------------------------------------

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

void put_hex(char* out, const unsigned char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) std::memcpy(out + 2 * i, &kHexPairs[2 * bytes[i]], 2);
}

// Sinks take the snapshot's bytes in order and write them as hex; the
// checksum is the writer's.
struct WholeText {
  char* out;
  void put(const void* bytes, size_t n) {
    put_hex(out, static_cast<const unsigned char*>(bytes), n);
    out += 2 * n;
  }
};

struct PiecedText {
  std::string buffer = std::string(kTextPiece, '\0');
  size_t used = 0;  // characters
  TextSink& out;

  void put(const void* bytes, size_t n) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (n > 0) {
      const size_t k = std::min(n, (kTextPiece - used) / 2);
      put_hex(buffer.data() + used, p, k);
      used += 2 * k;
      p += k;
      n -= k;
      if (used == kTextPiece) flush();
    }
  }
  void flush() {
    if (used != 0) out.write({buffer.data(), used});
    used = 0;
  }
};

// Writes the snapshot's fields into a sink, hashing them as it goes.
template <class Sink>
class SnapshotWriter {
 public:
  explicit SnapshotWriter(Sink& sink) : sink_(sink) {}

  void u64(uint64_t v) {
    hash_ = fnv1a_u64(hash_, v);
    sink_.put(&v, 8);
  }
  void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
  void text(std::string_view s) {
    u64(s.size());
    hash_ = fnv1a(hash_, s);
    sink_.put(s.data(), s.size());
  }
  // Model arrays: the bulk of a snapshot, written in blocks so the sink's
  // per-call cost is paid once per block, not once per value.
  void doubles(const double* v, uint64_t n) {
    constexpr uint64_t kBlock = 512;
    for (uint64_t i = 0; i < n; i += kBlock) {
      const uint64_t m = std::min(kBlock, n - i);
      for (uint64_t k = 0; k < m; ++k) hash_ = fnv1a_u64(hash_, std::bit_cast<uint64_t>(v[i + k]));
      sink_.put(v + i, 8 * m);
    }
  }
  // The checksum covers every byte written before it.
  void checksum() {
    const uint64_t h = hash_;
    sink_.put(&h, 8);
  }

 private:
  Sink& sink_;
  uint64_t hash_ = kFnvOffset;
};

size_t record_bytes(const DecisionRecord& r) {
  return 64 + r.decision_id.size() + r.salt.size() + 16 * r.features.size();
}

template <class Sink>
void encode(const BanditState& state, Sink& sink) {
  const LinearModel& m = state.model;
  SnapshotWriter<Sink> out(sink);
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
}

// ---- reading ----------------------------------------------------------------

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

uint64_t load8(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

// Bit 7 set in every byte of x that is not a hexadecimal digit of either
// case. Each byte is tested on its own: no sum below carries across bytes.
uint64_t non_hex(uint64_t x) {
  const uint64_t low7 = x & ~kHighs;
  const uint64_t digit = (low7 + kOnes * (0x80 - '0')) & ~(low7 + kOnes * (0x7F - '9'));
  const uint64_t folded = low7 | (kOnes * 0x20);
  const uint64_t letter = (folded + kOnes * (0x80 - 'a')) & ~(folded + kOnes * (0x7F - 'f'));
  return (x | ~(digit | letter)) & kHighs;
}

// The four bytes spelled by eight hexadecimal digits, first byte lowest.
// Digits of either case: the low nibble, plus 9 for a letter (bit 6 set).
uint32_t decode8(uint64_t x) {
  uint64_t v = (x & (kOnes * 0x0F)) + ((x >> 6) & kOnes) * 9;
  v = ((v & 0x00FF00FF00FF00FFULL) << 4) | ((v >> 8) & 0x00FF00FF00FF00FFULL);
  v = (v | (v >> 8)) & 0x0000FFFF0000FFFFULL;
  v = (v | (v >> 16)) & 0x00000000FFFFFFFFULL;
  return static_cast<uint32_t>(v);
}

uint64_t decode16(const char* p) {
  return decode8(load8(p)) | (uint64_t{decode8(load8(p + 8))} << 32);
}

uint8_t decode2(const char* p) {
  auto nibble = [](char c) { return static_cast<uint8_t>((c & 0x0F) + ((c >> 6) & 1) * 9); };
  return static_cast<uint8_t>((nibble(p[0]) << 4) | nibble(p[1]));
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Validates every digit of the text and computes FNV-1a 64 of its first
// `hashed` bytes in the same pass.
bool scan_hex(std::string_view text, size_t hashed, uint64_t& hash) {
  const char* p = text.data();
  const size_t hashed_digits = 2 * hashed;
  uint64_t bad = 0;
  uint64_t h = kFnvOffset;
  size_t i = 0;
  for (; i + 16 <= hashed_digits; i += 16) {
    const uint64_t lo = load8(p + i), hi = load8(p + i + 8);
    bad |= non_hex(lo) | non_hex(hi);
    h = fnv1a_u64(h, decode8(lo) | (uint64_t{decode8(hi)} << 32));
  }
  for (; i < hashed_digits; i += 2) {
    bad |= !is_hex_digit(p[i]) | !is_hex_digit(p[i + 1]);
    h = (h ^ decode2(p + i)) * kFnvPrime;
  }
  for (; i < text.size(); ++i) bad |= !is_hex_digit(p[i]);
  hash = h;
  return bad == 0;
}

// Reads fields from validated hex text up to the start of the checksum.
class HexReader {
 public:
  HexReader(const char* hex, size_t limit) : hex_(hex), limit_(limit) {}

  size_t remaining() const { return limit_ - pos_; }

  bool u64(uint64_t& v) {
    if (remaining() < 8) return false;
    v = decode16(hex_ + 2 * pos_);
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
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(decode2(p + 2 * i));
    pos_ += static_cast<size_t>(n);
    return true;
  }
  // The caller has checked that 8 * n bytes remain.
  void doubles(double* out, uint64_t n) {
    const char* p = hex_ + 2 * pos_;
    for (uint64_t i = 0; i < n; ++i) out[i] = std::bit_cast<double>(decode16(p + 16 * i));
    pos_ += 8 * static_cast<size_t>(n);
  }

 private:
  const char* hex_;
  size_t limit_;
  size_t pos_ = 0;
};

Result<DecisionRecord> read_record(HexReader& in, uint64_t dim) {
  DecisionRecord r;
  if (!in.text(r.decision_id)) return fail(kTruncated);
  if (!valid_utf8(r.decision_id)) return fail(kNotUtf8);
  uint64_t count;
  if (!in.f64(r.t) || !in.u64(r.candidate_hash) || !in.u64(r.chosen) || !in.u64(count))
    return fail(kTruncated);
  // Room for the pairs actually present at most, never the stored count.
  r.features.reserve(static_cast<size_t>(std::min<uint64_t>(count, in.remaining() / 16)));
  for (uint64_t k = 0; k < count; ++k) {
    FeaturePair p;
    if (!in.u64(p.index) || !in.f64(p.value)) return fail(kTruncated);
    if (p.index >= dim || (k > 0 && p.index <= r.features.back().index) || p.value == 0.0)
      return fail(kRecordFeatures);
    r.features.push_back(p);
  }
  if (!in.f64(r.propensity) || !in.u64(r.model_version) || !in.text(r.salt)) return fail(kTruncated);
  if (!valid_utf8(r.salt)) return fail(kNotUtf8);
  return r;
}

}  // namespace

std::string snapshot_hex(const BanditState& state) {
  size_t bytes = kFixedBytes + 16 * static_cast<size_t>(state.model.dim());
  state.ledger.for_each([&](const DecisionRecord& r) { bytes += record_bytes(r); });
  std::string text(2 * bytes, '\0');
  WholeText sink{text.data()};
  encode(state, sink);
  return text;
}

void snapshot_hex(const BanditState& state, TextSink& out) {
  PiecedText sink{.out = out};
  encode(state, sink);
  sink.flush();
}

Result<BanditState> state_from_hex(std::string_view text) {
  if (text.size() % 2 != 0) return fail(kNotHex);
  const size_t length = text.size() / 2;
  const size_t body = length < 8 ? 0 : length - 8;  // bytes before the checksum
  uint64_t computed;
  if (!scan_hex(text, body, computed)) return fail(kNotHex);
  if (length < 24) return fail(kTruncated);

  HexReader in(text.data(), body);
  uint64_t magic = 0, version = 0;
  (void)in.u64(magic);  // body holds at least 16 bytes
  (void)in.u64(version);
  if (magic != std::bit_cast<uint64_t>(kMagic)) return fail("not a sorvane state (bad magic)");
  if (decode16(text.data() + 2 * body) != computed) return fail("state checksum mismatch");
  if (version != kFormatVersion)
    return fail(("unsupported state format version " + std::to_string(version)).c_str());

  uint64_t dim;
  double ridge, forgetting, scale;
  if (!in.u64(dim) || !in.f64(ridge) || !in.f64(forgetting) || !in.f64(scale)) return fail(kTruncated);
  if (dim == 0) return fail(kDimMessage);
  if (!forgetting_valid(forgetting)) return fail(kForgettingMessage);
  if (!ridge_valid(ridge)) return fail(kRidgeMessage);
  if (!scale_valid(scale)) return fail(kScaleMessage);

  // Reading the arrays value by value would end in "truncated state" as soon
  // as the bytes ran out; checking their size first gives the same answer
  // and lets each array be allocated once, and only when its bytes are there.
  if (dim > in.remaining() / 16) return fail(kTruncated);
  DoubleArray sq_sums = zeroed_doubles(dim);
  in.doubles(sq_sums.get(), dim);
  DoubleArray reward_sums = zeroed_doubles(dim);
  in.doubles(reward_sums.get(), dim);

  // All five are read before any is tested.
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

  // Each record takes at least 64 bytes, so a huge stored count runs out of
  // data long before it could run up memory.
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
