// libFuzzer harness for the toolkit's log reader and native replay.
//
// The first input byte picks how the rest, a log, is fed: in one piece, or
// in pieces of 1 to 64 bytes (the byte's low six bits, plus one), so that
// lines cut anywhere are put back together.
//
// What must hold for every input:
//   - no crash, no sanitizer report, no hang;
//   - the replay fed in pieces ends exactly as the replay fed at once: the
//     same decline (or none) at the same line, the same counts and the same
//     state text;
//   - a replay that proves the log leaves a state that loads back and
//     serializes to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "api.hpp"
#include "log_replay.hpp"

namespace {

using sorvane::toolkit::LogReplay;
using sorvane::toolkit::ReplayConfig;

ReplayConfig config() {
  ReplayConfig c;
  c.horizon = 1000.0;
  c.epsilon = 0.1;
  // Keeps the states and their texts small enough to fuzz quickly.
  c.max_bits = 12;
  return c;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_log: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned mode = data[0];
  const std::string_view log(reinterpret_cast<const char*>(data + 1), size - 1);

  LogReplay whole(config());
  whole.feed(log);
  whole.finish();

  LogReplay pieces(config());
  const size_t step = (mode & 63) + 1;
  for (size_t at = 0; at < log.size(); at += step) {
    if (!pieces.feed(log.substr(at, step))) break;
  }
  pieces.finish();

  if (whole.declined() != pieces.declined()) fail("fed in pieces, the replay declines otherwise");
  if (whole.declined()) {
    if (whole.declined_line() != pieces.declined_line()) fail("fed in pieces, it declines at another line");
    return 0;
  }
  if (whole.lines() != pieces.lines() || whole.decisions() != pieces.decisions() ||
      whole.resolutions() != pieces.resolutions() || whole.pending() != pieces.pending()) {
    fail("fed in pieces, the counts differ");
  }
  const std::optional<std::string> text = whole.state_text();
  if (text != pieces.state_text()) fail("fed in pieces, the state differs");
  if (text) {
    sorvane::Result<sorvane::BanditState> loaded = sorvane::deserialize(*text);
    if (!loaded.ok()) fail("the replayed state does not load");
    if (sorvane::serialize(loaded.value()) != *text) fail("the replayed state does not serialize back");
  }
  return 0;
}
