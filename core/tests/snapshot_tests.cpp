// The snapshot: its layout's sizes, a bit-for-bit round trip and every
// check of the reader, in order.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api.hpp"
#include "bandit_state.hpp"
#include "check.hpp"
#include "hash.hpp"
#include "snapshot.hpp"

using namespace sorvane;
using namespace sorvane::testing;

namespace {

std::string hex_of(const std::vector<unsigned char>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

std::vector<unsigned char> bytes_of(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Rewrites the checksum after an edit, so that the check after it is reached.
std::string resealed(std::vector<unsigned char> bytes) {
  const size_t body = bytes.size() - snapshot::kChecksumBytes;
  const uint64_t h = fnv1a(kFnvOffset, bytes.data(), body);
  std::memcpy(bytes.data() + body, &h, 8);
  return hex_of(bytes);
}

void snapshot_layout_sizes() {
  auto fresh = create(1, 1.0, 0.0, 0.05, 0.999);
  CHECK(serialize(fresh.value()).size() == 2 * 136);
  auto state = create(6, 1.0, 0.0, 0.05, 0.999);
  DecideScratch scratch;
  std::vector<NamedFeature> context{text_feature("u", "v")};
  std::vector<Candidate> candidates{{"x", {}}, {"y", {}}};
  auto record = decide(state.value(), scratch, context, candidates, 0.0, "salt", nullptr, nullptr);
  CHECK(record.ok());
  const size_t expected = snapshot::kFixedBytes + 64 * snapshot::kCoordinateBytes +
                          snapshot::record_bytes(record.value());
  CHECK(serialize(state.value()).size() == 2 * expected);
  CHECK(snapshot::record_bytes(record.value()) ==
        64 + 6 + 4 + 16 * record.value().features.size());
}

void snapshot_round_trips_bit_for_bit() {
  auto made = create(8, 2.0, kNaN, 0.25, 0.75);
  BanditState& s = made.value();
  DecideScratch scratch;
  std::vector<NamedFeature> context{text_feature("u", "v"), number_feature("w", -0.0)};
  std::vector<Candidate> candidates{{"x", {}}, {"y", context}};
  for (int k = 0; k < 6; ++k) {
    auto r = decide(s, scratch, context, candidates, k, "s\xc3\xa9", nullptr, nullptr);
    CHECK(r.ok());
    if (k % 2) CHECK(learn(s, r.value().decision_id, std::bit_cast<double>(0x7ff8dead00000001ULL), k, nullptr).ok());
  }
  const std::string text = serialize(s);
  std::string upper = text;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return std::toupper(c); });
  auto loaded = deserialize(upper);
  CHECK(loaded.ok() && serialize(loaded.value()) == text);
  CHECK(loaded.ok() && loaded.value().ledger.size() == 3 && std::isnan(loaded.value().default_reward));
  // In pieces, the same text.
  struct Gather final : TextSink {
    std::string text;
    size_t pieces = 0;
    void write(std::string_view piece) override { text += piece, ++pieces; }
  } gathered;
  serialize(s, gathered);
  CHECK(gathered.text == text && gathered.pieces == 1);
}

void snapshot_checks_in_order() {
  auto made = create(2, 1.0, 0.0, 0.5, 1.0);
  DecideScratch scratch;
  std::vector<NamedFeature> none;
  std::vector<Candidate> candidates{{"x", {}}};
  CHECK(decide(made.value(), scratch, none, candidates, 0.0, "s", nullptr, nullptr).ok());
  const std::vector<unsigned char> good = bytes_of(serialize(made.value()));
  auto error = [](const std::string& text) {
    auto r = deserialize(text);
    return error_of(r);
  };
  CHECK(error("") == "truncated state");
  CHECK(error("abc") == "state must be a hexadecimal string");
  CHECK(error(hex_of(good) + "g0") == "state must be a hexadecimal string");
  CHECK(error(hex_of(std::vector<unsigned char>(23, 0))) == "truncated state");
  CHECK(error(hex_of(std::vector<unsigned char>(24, 0))) == "not a sorvane state (bad magic)");
  std::vector<unsigned char> flipped = good;
  flipped[40] ^= 1;
  CHECK(error(hex_of(flipped)) == "state checksum mismatch");
  std::vector<unsigned char> edited = good;
  edited[8] = 2;
  CHECK(error(resealed(edited)) == "unsupported state format version 2");
  edited = good;
  std::memset(edited.data() + 16, 0, 8);
  CHECK(error(resealed(edited)) == "dim must be at least 1");
  const size_t records = snapshot::kPreambleBytes + snapshot::kModelFieldsBytes +
                         4 * snapshot::kCoordinateBytes + snapshot::kStateFieldsBytes;
  edited = good;
  edited.insert(edited.end() - 8, 0);
  CHECK(error(resealed(edited)) == "trailing bytes in state");
  edited = good;
  edited[records - 8] = 2;  // record count
  CHECK(error(resealed(edited)) == "truncated state");
  edited = good;
  edited[records + 8] = 0xFF;  // the id's first byte
  CHECK(error(resealed(edited)) == "state string is not valid UTF-8");
  CHECK(error(hex_of(good)) == "<ok>");
}

}  // namespace

void run_snapshot_tests() {
  snapshot_layout_sizes();
  snapshot_round_trips_bit_for_bit();
  snapshot_checks_in_order();
}
