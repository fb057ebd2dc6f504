// libFuzzer harness for the toolkit's log reader, native replay and native
// evaluation.
//
// The first input byte picks how the rest, a log, is fed: in one piece, or
// in pieces of 1 to 64 bytes (the byte's low six bits, plus one), so that
// lines cut anywhere are put back together; its bit 6 picks the evaluation's
// summation (compensated or plain). The passes fed in pieces read ahead on
// two threads, in batches of 1 to 8 lines (the byte's low three bits, plus
// one); the passes fed at once on one thread, in one batch.
//
// What must hold for every input:
//   - no crash, no sanitizer report, no hang;
//   - the replay fed in pieces, on two threads in small batches, ends
//     exactly as the replay fed at once: the
//     same decline (or none) at the same line, the same counts and the same
//     state text;
//   - a replay that proves the log leaves a state that loads back and
//     serializes to the same text;
//   - the evaluation fed in pieces, on two threads in small batches, ends
//     exactly as the one fed at once, to the last bit of every term.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <cstring>
#include <vector>

#include "api.hpp"
#include "log_eval.hpp"
#include "log_replay.hpp"

namespace {

using sorvane::toolkit::EvalTarget;
using sorvane::toolkit::LogEvaluation;
using sorvane::toolkit::LogReplay;
using sorvane::toolkit::PassOptions;
using sorvane::toolkit::ReplayConfig;

ReplayConfig config() {
  ReplayConfig c;
  c.horizon = 1000.0;
  c.epsilon = 0.1;
  // Keeps the states and their texts small enough to fuzz quickly.
  c.max_bits = 12;
  return c;
}

// The baseline, a wider epsilon sharing its learner, and other bits.
std::vector<EvalTarget> targets() {
  std::vector<EvalTarget> t(3);
  for (EvalTarget& target : t) target.horizon = 1000.0;
  t[0].epsilon = 0.1;
  t[1].epsilon = 0.5;
  t[2].bits = 5;
  return t;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
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

  PassOptions ahead;
  ahead.threads = 2;
  ahead.batch_lines = (mode & 7) + 1;
  LogReplay pieces(config(), ahead);
  const size_t step = (mode & 63) + 1;
  for (size_t at = 0; at < log.size(); at += step) {
    if (!pieces.feed(log.substr(at, step))) break;
  }
  pieces.finish();

  LogEvaluation eval_whole(targets(), (mode & 64) != 0, 12);
  eval_whole.feed(log);
  eval_whole.finish();
  LogEvaluation eval_pieces(targets(), (mode & 64) != 0, 12, ahead);
  for (size_t at = 0; at < log.size(); at += step) {
    if (!eval_pieces.feed(log.substr(at, step))) break;
  }
  eval_pieces.finish();
  if (eval_whole.declined() != eval_pieces.declined()) fail("fed in pieces, the evaluation declines otherwise");
  if (!eval_whole.declined()) {
    if (eval_whole.lines() != eval_pieces.lines() || eval_whole.resolved() != eval_pieces.resolved() ||
        eval_whole.excluded() != eval_pieces.excluded() || eval_whole.pending() != eval_pieces.pending()) {
      fail("fed in pieces, the evaluation's counts differ");
    }
    for (size_t k = 0; k < eval_whole.target_count(); ++k) {
      const auto& a = eval_whole.terms(k);
      const auto& b = eval_pieces.terms(k);
      if (!same_bits(a.seq, b.seq) || !same_bits(a.w, b.w) || !same_bits(a.r, b.r) || !same_bits(a.dm, b.dm) ||
          !same_bits(a.q, b.q)) {
        fail("fed in pieces, the evaluation's terms differ");
      }
    }
  }

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
