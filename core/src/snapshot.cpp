// The snapshot's writer and reader (layout: snapshot.hpp). One walk over the
// fields writes the text whole or in pieces. Reading works on the text
// directly: the binary snapshot is never held in memory while a state is
// decoded, so loading a bits-24 state (256 MiB of model) costs its text and
// the new state, nothing more.
#include "snapshot.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "api.hpp"
#include "bandit_state.hpp"
#include "config.hpp"
#include "hash.hpp"
#include "hex.hpp"

namespace sorvane {

static_assert(std::endian::native == std::endian::little,
              "the snapshot is read and written as little-endian words");

using namespace snapshot;

namespace {

// ---- writing ----------------------------------------------------------------

// Sinks take the snapshot's bytes in order and write them as hex; the
// checksum is the writer's.
struct WholeText {
  char* out;
  void put(const void* bytes, size_t n) {
    hex::encode(out, static_cast<const unsigned char*>(bytes), n);
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
      hex::encode(buffer.data() + used, p, k);
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
  // The model's coordinates: the bulk of a snapshot, one of each
  // coordinate's two sums, gathered and written in blocks so the sink's
  // per-call cost is paid once per block, not once per value.
  void sums(const Coordinate* coords, uint64_t n, double Coordinate::*sum) {
    constexpr uint64_t kBlock = 512;
    double block[kBlock];
    for (uint64_t i = 0; i < n; i += kBlock) {
      const uint64_t m = std::min(kBlock, n - i);
      for (uint64_t k = 0; k < m; ++k) {
        block[k] = coords[i + k].*sum;
        hash_ = fnv1a_u64(hash_, std::bit_cast<uint64_t>(block[k]));
      }
      sink_.put(block, 8 * m);
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
  out.sums(m.coordinates(), m.dim(), &Coordinate::sq_sum);
  out.sums(m.coordinates(), m.dim(), &Coordinate::reward_sum);
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

// Validates every digit of the text and computes FNV-1a 64 of its first
// `hashed` bytes in the same pass.
bool scan_hex(std::string_view text, size_t hashed, uint64_t& hash) {
  const char* p = text.data();
  const size_t hashed_digits = 2 * hashed;
  uint64_t bad = 0;
  uint64_t h = kFnvOffset;
  size_t i = 0;
  for (; i + 16 <= hashed_digits; i += 16) {
    const uint64_t lo = hex::load8(p + i), hi = hex::load8(p + i + 8);
    bad |= hex::non_digits(lo) | hex::non_digits(hi);
    h = fnv1a_u64(h, hex::decode8(lo) | (uint64_t{hex::decode8(hi)} << 32));
  }
  for (; i < hashed_digits; i += 2) {
    bad |= !hex::is_digit(p[i]) | !hex::is_digit(p[i + 1]);
    h = (h ^ hex::decode2(p + i)) * kFnvPrime;
  }
  for (; i < text.size(); ++i) bad |= !hex::is_digit(p[i]);
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
    v = hex::decode16(hex_ + 2 * pos_);
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
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(hex::decode2(p + 2 * i));
    pos_ += static_cast<size_t>(n);
    return true;
  }
  // One of n coordinates' sums; the caller has checked that 8 * n bytes
  // remain.
  void sums(Coordinate* out, uint64_t n, double Coordinate::*sum) {
    const char* p = hex_ + 2 * pos_;
    for (uint64_t i = 0; i < n; ++i) out[i].*sum = std::bit_cast<double>(hex::decode16(p + 16 * i));
    pos_ += 8 * static_cast<size_t>(n);
  }

 private:
  const char* hex_;
  size_t limit_;
  size_t pos_ = 0;
};

Result<DecisionRecord> read_record(HexReader& in, uint64_t dim) {
  DecisionRecord r;
  if (!in.text(r.decision_id)) return fail(msg::kTruncated);
  if (!valid_utf8(r.decision_id)) return fail(msg::kNotUtf8);
  uint64_t count;
  if (!in.f64(r.t) || !in.u64(r.candidate_hash) || !in.u64(r.chosen) || !in.u64(count))
    return fail(msg::kTruncated);
  // Room for the pairs actually present at most, never the stored count.
  r.features.reserve(static_cast<size_t>(std::min<uint64_t>(count, in.remaining() / kPairBytes)));
  for (uint64_t k = 0; k < count; ++k) {
    FeaturePair p;
    if (!in.u64(p.index) || !in.f64(p.value)) return fail(msg::kTruncated);
    if (p.index >= dim || (k > 0 && p.index <= r.features.back().index) || p.value == 0.0)
      return fail(msg::kRecordFeatures);
    r.features.push_back(p);
  }
  if (!in.f64(r.propensity) || !in.u64(r.model_version) || !in.text(r.salt)) return fail(msg::kTruncated);
  if (!valid_utf8(r.salt)) return fail(msg::kNotUtf8);
  return r;
}

}  // namespace

std::string serialize(const BanditState& state) {
  size_t bytes = kFixedBytes + kCoordinateBytes * static_cast<size_t>(state.model.dim());
  state.ledger.for_each([&](const DecisionRecord& r) { bytes += record_bytes(r); });
  std::string text(2 * bytes, '\0');
  WholeText sink{text.data()};
  encode(state, sink);
  return text;
}

void serialize(const BanditState& state, TextSink& out) {
  PiecedText sink{.out = out};
  encode(state, sink);
  sink.flush();
}

Result<BanditState> deserialize(std::string_view text) {
  if (text.size() % 2 != 0) return fail(msg::kNotHex);
  const size_t length = text.size() / 2;
  const size_t body = length < kChecksumBytes ? 0 : length - kChecksumBytes;
  uint64_t computed;
  if (!scan_hex(text, body, computed)) return fail(msg::kNotHex);
  if (length < kShortestBytes) return fail(msg::kTruncated);

  HexReader in(text.data(), body);
  uint64_t magic = 0, version = 0;
  (void)in.u64(magic);  // the body holds at least the preamble
  (void)in.u64(version);
  if (magic != std::bit_cast<uint64_t>(kMagic)) return fail(msg::kBadMagic);
  if (hex::decode16(text.data() + 2 * body) != computed) return fail(msg::kChecksum);
  if (version != kFormatVersion)
    return fail((msg::kVersionPrefix + std::to_string(version)).c_str());

  uint64_t dim;
  double ridge, forgetting, scale;
  if (!in.u64(dim) || !in.f64(ridge) || !in.f64(forgetting) || !in.f64(scale)) return fail(msg::kTruncated);
  if (dim == 0) return fail(msg::kDim);
  if (!forgetting_valid(forgetting)) return fail(msg::kForgetting);
  if (!ridge_valid(ridge)) return fail(msg::kRidge);
  if (!scale_valid(scale)) return fail(msg::kScale);

  // Reading the sums value by value would end in "truncated state" as soon
  // as the bytes ran out; checking their size first gives the same answer
  // and lets the coordinates be allocated once, and only when their bytes
  // are there.
  if (dim > in.remaining() / kCoordinateBytes) return fail(msg::kTruncated);
  CoordinateArray coordinates = zeroed_coordinates(dim);
  in.sums(coordinates.get(), dim, &Coordinate::sq_sum);
  in.sums(coordinates.get(), dim, &Coordinate::reward_sum);

  // All five are read before any is tested.
  uint64_t decision_count, model_version, record_count;
  double horizon, default_reward, epsilon;
  if (!in.u64(decision_count) || !in.u64(model_version) || !in.f64(horizon) ||
      !in.f64(default_reward) || !in.f64(epsilon))
    return fail(msg::kTruncated);
  if (!horizon_valid(horizon)) return fail(msg::kHorizon);
  if (!epsilon_valid(epsilon)) return fail(msg::kEpsilon);

  BanditState state(LinearModel::adopt(dim, ridge, forgetting, scale, std::move(coordinates)));
  state.decision_count = decision_count;
  state.model_version = model_version;
  state.horizon = horizon;
  state.default_reward = default_reward;
  state.epsilon = epsilon;

  // Each record takes at least kRecordFixedBytes, so a huge stored count runs out of
  // data long before it could run up memory.
  if (!in.u64(record_count)) return fail(msg::kTruncated);
  for (uint64_t k = 0; k < record_count; ++k) {
    Result<DecisionRecord> r = read_record(in, dim);
    if (!r.ok()) return std::move(r.error());
    state.ledger.append(std::move(r.value()));
  }
  if (in.remaining() != 0) return fail(msg::kTrailing);
  return state;
}

}  // namespace sorvane
