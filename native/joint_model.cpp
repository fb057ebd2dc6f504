// The joint model's arithmetic, its explore rules and its text form.
#include "joint_model.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "epsilon_greedy.hpp"
#include "hash.hpp"
#include "hex.hpp"

namespace sorvane::toolkit {

namespace {

// The text is lowercase hexadecimal over these bytes, integers and floats
// as 8 little-endian bytes (floats by their bit pattern):
//   magic "SVJOINT\0", format version, bits, explore rule, learning_rate,
//   gamma_scale, initial_accumulator, updates, the 2**bits weights, the 2**bits accumulated
//   squared gradients, and the FNV-1a 64 checksum of every byte before it.
constexpr char kMagic[8] = {'S', 'V', 'J', 'O', 'I', 'N', 'T', '\0'};
constexpr uint64_t kVersion = 1;
constexpr size_t kHeaderBytes = 8 + 7 * 8;

constexpr const char* kNotHex = "joint model text must be a hexadecimal string";
constexpr const char* kTruncated = "truncated joint model text";
constexpr const char* kBadMagic = "not a joint model text (bad magic)";
constexpr const char* kVersionPrefix = "unsupported joint model format version ";
constexpr const char* kTrailing = "trailing bytes in joint model text";
constexpr const char* kChecksum = "joint model text checksum mismatch";
constexpr const char* kNotFinite = "joint model text holds a value that is not finite";

bool finite(double v) { return std::isfinite(v); }

class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}
  void u64(uint64_t v) {
    unsigned char b[8];
    for (int k = 0; k < 8; ++k) b[k] = static_cast<unsigned char>(v >> (8 * k));
    put(b, 8);
  }
  void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
  void bytes(const void* p, size_t n) { put(static_cast<const unsigned char*>(p), n); }
  uint64_t checksum() const { return checksum_; }

 private:
  void put(const unsigned char* b, size_t n) {
    checksum_ = fnv1a(checksum_, b, n);
    const size_t at = out_.size();
    out_.resize(at + 2 * n);
    hex::encode(out_.data() + at, b, n);
  }
  std::string& out_;
  uint64_t checksum_ = kFnvOffset;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view hex_text) : text_(hex_text) {}
  size_t bytes_left() const { return (text_.size() - at_) / 2; }
  uint64_t u64() {
    unsigned char b[8];
    for (int k = 0; k < 8; ++k) b[k] = hex::decode2(text_.data() + at_ + 2 * k);
    checksum_ = fnv1a(checksum_, b, 8);
    at_ += 16;
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = (v << 8) | b[k];
    return v;
  }
  double f64() { return std::bit_cast<double>(u64()); }
  uint64_t checksum() const { return checksum_; }

 private:
  std::string_view text_;
  size_t at_ = 0;
  uint64_t checksum_ = kFnvOffset;
};

}  // namespace

std::string settings_error(const JointSettings& s) {
  if (s.bits < 1 || s.bits > 24) return msg::kBits;
  if (!(s.learning_rate > 0.0 && finite(s.learning_rate))) return "learning_rate must be positive and finite";
  if (s.explore != ExploreRule::epsilon_greedy && s.explore != ExploreRule::squarecb)
    return "explore must be 'epsilon-greedy' or 'squarecb'";
  if (!(s.gamma_scale > 0.0 && finite(s.gamma_scale))) return "gamma_scale must be positive and finite";
  if (!(s.initial_accumulator >= 0.0 && finite(s.initial_accumulator)))
    return "initial_accumulator must be finite and not negative";
  return {};
}

std::string_view explore_rule_name(ExploreRule rule) {
  return rule == ExploreRule::squarecb ? "squarecb" : "epsilon-greedy";
}

bool explore_rule_from_name(std::string_view name, ExploreRule& out) {
  if (name == "epsilon-greedy") {
    out = ExploreRule::epsilon_greedy;
  } else if (name == "squarecb") {
    out = ExploreRule::squarecb;
  } else {
    return false;
  }
  return true;
}

JointModel::JointModel(const JointSettings& settings)
    : settings_(settings),
      weights_(size_t{1} << settings.bits, 0.0),
      squared_gradients_(size_t{1} << settings.bits, settings.initial_accumulator) {}

double JointModel::estimate(SparseView x) const {
  const double* w = weights_.data();
  double acc = +0.0;
  for (const FeaturePair& p : x) acc = acc + w[p.index] * p.value;
  return acc;
}

void JointModel::estimate_all(const CandidateVectors& vectors, std::vector<double>& out) const {
  out.resize(vectors.size());
  for (size_t i = 0; i < vectors.size(); ++i) out[i] = estimate(vectors[i]);
}

Status JointModel::train(SparseView x, double reward) {
  if (!finite(reward)) return fail(joint_msg::kRewardNotFinite);
  const uint64_t dim = weights_.size();
  for (size_t k = 0; k < x.size(); ++k) {
    if (x[k].index >= dim || (k > 0 && x[k].index <= x[k - 1].index))
      return fail(joint_msg::kFeaturesDontFit);
  }
  const double g = estimate(x) - reward;
  const double rate = settings_.learning_rate;
  double* w = weights_.data();
  double* G = squared_gradients_.data();
  for (const FeaturePair& p : x) {
    const double gi = g * p.value;
    G[p.index] = G[p.index] + gi * gi;
    // A zero gradient leaves the weight alone (and spares 0 / 0).
    if (G[p.index] > 0.0) w[p.index] = w[p.index] - (rate * gi) / std::sqrt(G[p.index]);
  }
  ++updates_;
  return Ok{};
}

void squarecb(std::span<const double> estimates, double gamma, std::vector<double>& out) {
  // best = the first highest estimate; every other candidate i gets
  // 1.0 / (n + gamma * (best - e_i)), and the best gets 1.0 minus their sum,
  // summed in candidate order from +0.0, so the probabilities add up to 1
  // and the best's is at least 1 / n.
  const size_t n = estimates.size();
  size_t best = 0;
  for (size_t i = 1; i < n; ++i)
    if (estimates[i] > estimates[best]) best = i;
  const double count = static_cast<double>(n);
  out.resize(n);
  double others = +0.0;
  for (size_t i = 0; i < n; ++i) {
    if (i == best) continue;
    // gamma 0 (no update yet) is uniform even where a gap overflows to infinity.
    const double push = gamma == 0.0 ? 0.0 : gamma * (estimates[best] - estimates[i]);
    out[i] = 1.0 / (count + push);
    others = others + out[i];
  }
  out[best] = 1.0 - others;
}

Status JointModel::explore(std::span<const double> estimates, double epsilon, std::vector<double>& out) const {
  if (estimates.empty()) return fail(joint_msg::kEstimates);
  for (double e : estimates)
    if (!finite(e)) return fail(joint_msg::kEstimates);
  if (!(epsilon >= 0.0 && epsilon <= 1.0)) return fail(msg::kEpsilon);
  if (settings_.explore == ExploreRule::epsilon_greedy) return epsilon_greedy(estimates, epsilon, out);
  // gamma = gamma_scale * sqrt(updates); the state's epsilon plays no part.
  const double gamma = settings_.gamma_scale * std::sqrt(static_cast<double>(updates_));
  squarecb(estimates, gamma, out);
  return Ok{};
}

std::string JointModel::serialize() const {
  std::string text;
  text.reserve(2 * (kHeaderBytes + 16 * weights_.size() + 8));
  ByteWriter out(text);
  out.bytes(kMagic, sizeof kMagic);
  out.u64(kVersion);
  out.u64(settings_.bits);
  out.u64(static_cast<uint64_t>(settings_.explore));
  out.f64(settings_.learning_rate);
  out.f64(settings_.gamma_scale);
  out.f64(settings_.initial_accumulator);
  out.u64(updates_);
  for (double v : weights_) out.f64(v);
  for (double v : squared_gradients_) out.f64(v);
  out.u64(out.checksum());
  return text;
}

Result<JointModel> JointModel::deserialize(std::string_view text) {
  // Checks in order: digits, the header's presence, magic, version, the
  // settings, the exact length they call for, the checksum, and last the
  // values themselves. Nothing is allocated before the text is known to
  // hold the arrays it claims.
  if (text.size() % 2 != 0) return fail(kNotHex);
  for (char c : text)
    if (!hex::is_digit(c)) return fail(kNotHex);
  if (text.size() / 2 < kHeaderBytes) return fail(kTruncated);
  for (size_t k = 0; k < sizeof kMagic; ++k)
    if (hex::decode2(text.data() + 2 * k) != static_cast<unsigned char>(kMagic[k])) return fail(kBadMagic);
  ByteReader in(text);
  for (size_t k = 0; k < sizeof kMagic / 8; ++k) in.u64();
  const uint64_t version = in.u64();
  if (version != kVersion) return EngineError{kVersionPrefix + std::to_string(version)};
  const uint64_t bits = in.u64();
  const uint64_t rule = in.u64();
  JointSettings settings;
  settings.learning_rate = in.f64();
  settings.gamma_scale = in.f64();
  settings.initial_accumulator = in.f64();
  if (bits < 1 || bits > 24) return fail(msg::kBits);
  settings.bits = static_cast<uint32_t>(bits);
  settings.explore = static_cast<ExploreRule>(rule);
  if (std::string error = settings_error(settings); !error.empty()) return EngineError{std::move(error)};
  const uint64_t updates = in.u64();
  const size_t dim = size_t{1} << bits;
  const size_t body = 16 * dim + 8;
  if (in.bytes_left() < body) return fail(kTruncated);
  if (in.bytes_left() > body) return fail(kTrailing);
  JointModel model(settings);
  model.updates_ = updates;
  for (double& v : model.weights_) v = in.f64();
  for (double& v : model.squared_gradients_) v = in.f64();
  const uint64_t expected = in.checksum();
  if (in.u64() != expected) return fail(kChecksum);
  for (size_t i = 0; i < dim; ++i) {
    if (!finite(model.weights_[i]) || !(model.squared_gradients_[i] >= 0.0) ||
        !finite(model.squared_gradients_[i]))
      return fail(kNotFinite);
  }
  return model;
}

Status JointTaps::score(const CandidateVectors& vectors, std::vector<double>& estimates) {
  model_.estimate_all(vectors, estimates);
  return Ok{};
}

Status JointTaps::explore(std::span<const double> estimates, double epsilon,
                          std::vector<double>& probabilities) {
  return model_.explore(estimates, epsilon, probabilities);
}

Status JointTaps::train(const DecisionRecord& record, double reward) {
  return model_.train(record.features, reward);
}

}  // namespace sorvane::toolkit
