// libFuzzer harness for the snapshot reader (deserialize).
//
// The first input byte picks how the rest becomes state text:
//   bit 2 set: the rest is the text itself (exercises the hex layer);
//   otherwise the rest is a binary snapshot written as hex, in uppercase
//   when bit 1 is set, with its checksum recomputed when bit 0 is set, so
//   that mutations reach the checks behind the checksum.
//
// What must hold for every input:
//   - no crash, no sanitizer report, no hang;
//   - reading allocates at most a small multiple of the text's size at any
//     moment (stored counts must never size an allocation on their own);
//   - an accepted text re-serializes to exactly its lowercase form, whole
//     and in pieces;
//   - the loaded state works: learn, expire and, when its dimension allows,
//     decide run on it.
#include <sanitizer/allocator_interface.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api.hpp"
#include "bandit_state.hpp"
#include "hash.hpp"

namespace {

// Bytes held by the allocator, and the most held since the last reset.
size_t g_live = 0;
size_t g_peak = 0;

void on_malloc(const volatile void*, size_t size) {
  g_live += size;
  if (g_live > g_peak) g_peak = g_live;
}
void on_free(const volatile void* ptr) {
  if (ptr != nullptr) g_live -= __sanitizer_get_allocated_size(const_cast<const void*>(ptr));
}

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "fuzz_snapshot: %s\n", what);
  std::abort();
}

uint64_t fnv1a(const unsigned char* p, size_t n) {
  uint64_t h = sorvane::kFnvOffset;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * sorvane::kFnvPrime;
  return h;
}

std::string to_hex(const unsigned char* p, size_t n, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out(2 * n, '\0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = digits[p[i] >> 4];
    out[2 * i + 1] = digits[p[i] & 15];
  }
  return out;
}

std::string lowercase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct Gather final : sorvane::TextSink {
  std::string text;
  void write(std::string_view piece) override { text += piece; }
};

void exercise(sorvane::BanditState& state) {
  std::string first_id;
  state.ledger.for_each([&](const sorvane::DecisionRecord& r) {
    if (first_id.empty()) first_id = r.decision_id;
  });
  (void)sorvane::learn(state, first_id, 1.0, 0.0, nullptr);
  (void)sorvane::expire(state, INFINITY, nullptr);
  auto bits = sorvane::model_bits(state);
  if (bits.ok() && bits.value() <= 12) {
    const sorvane::NamedFeature context[] = {
        {"u", {sorvane::FeatureKind::text, 0.0, "v"}},
        {"n", {sorvane::FeatureKind::number, 2.5, {}}},
    };
    const sorvane::NamedFeature feature[] = {{"p", {sorvane::FeatureKind::number, -1.0, {}}}};
    const sorvane::Candidate candidates[] = {{"a", feature}, {"b", {}}};
    sorvane::DecideScratch scratch;
    (void)sorvane::decide(state, scratch, context, candidates, 0.0, "fuzz", nullptr, nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return -1;
  const uint8_t mode = data[0];
  std::vector<unsigned char> body(data + 1, data + size);
  std::string text;
  if (mode & 4) {
    text.assign(body.begin(), body.end());
  } else {
    if ((mode & 1) && body.size() >= 8) {
      const uint64_t h = fnv1a(body.data(), body.size() - 8);
      for (int k = 0; k < 8; ++k) body[body.size() - 8 + k] = static_cast<unsigned char>(h >> (8 * k));
    }
    text = to_hex(body.data(), body.size(), mode & 2);
  }

  const size_t before = g_live;
  g_peak = g_live;
  auto state = sorvane::deserialize(text);
  const size_t held = g_peak - before;
  if (held > 8 * text.size() + 65536) fault("reading allocated more than 8x the text");
  if (!state.ok()) return 0;

  const std::string expected = lowercase(text);
  if (sorvane::serialize(state.value()) != expected) fault("accepted text does not round-trip");
  Gather pieces;
  sorvane::serialize(state.value(), pieces);
  if (pieces.text != expected) fault("pieced text differs from the whole text");
  exercise(state.value());
  return 0;
}
