// One pass over the experience log, fed in pieces: lines are split and
// bounded, each is read into a decision or a resolution and handed to the
// pass's own step. A pass declines the whole log at the first line it
// cannot take exactly as the Python toolkit would; it then ignores the rest,
// and the Python path reads the log from the start.
//
// Lines are taken in batches. While the pass steps through one batch in log
// order, the next is read and its candidates hashed (ready_line.hpp) on all
// the threads it was given, the caller's included: reading and hashing are
// most of a replay's work and depend on nothing but the line. The steps
// themselves run on the caller's thread, one line after another, so the
// result is the same for any number of threads and any batch size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api.hpp"
#include "batch_workers.hpp"
#include "line_feed.hpp"
#include "ready_line.hpp"

namespace sorvane::toolkit {

struct PassOptions {
  size_t threads = 1;        // the caller's included
  size_t batch_lines = 256;  // lines read ahead at most
  bool context_tokens = false;  // decisions come with their ContextTokens
  bool hash_candidates = true;  // false: a pass that reads no state gets no vectors
};

class LogPass {
 public:
  LogPass(const LogPass&) = delete;
  LogPass& operator=(const LogPass&) = delete;

  // The next bytes of the log; lines end at '\n' and may span calls.
  // Returns false once the pass has declined (later bytes are ignored).
  // Lines still in a batch are stepped through by a later feed or finish.
  bool feed(std::string_view bytes);
  // The end of the log: its last line may lack a newline. Every count and
  // result is complete only from here on.
  void finish();
  // Counts a line the caller read itself (the log's header line).
  void skip_line();
  // Lines longer than this (their newline aside) are declined unread.
  void set_line_limit(size_t bytes) { lines_in_.set_limit(bytes); }

  bool declined() const { return declined_; }
  uint64_t declined_line() const { return declined_line_; }
  const std::string& decline_reason() const { return reason_; }
  uint64_t lines() const { return lines_; }

 protected:
  explicit LogPass(PassOptions options);
  ~LogPass();

  // The first reason given is kept; the line is the one being stepped.
  void decline(const char* why);
  // The same for a line of the batch just stepped through (stepped()).
  void decline_at(uint64_t line, const char* why);
  // The saved state a log continues from, with its bits; nothing (and the
  // pass declined) when it does not load.
  std::optional<std::pair<BanditState, uint32_t>> load_saved_state(const std::string& text);
  // Every decision's candidates are hashed at these bits too, besides the
  // line's own. Called before the first line.
  void hash_also_at(uint32_t bits) { more_bits_.push_back(bits); }

 private:
  // Lines in the order the log gives them, and what each became.
  struct Batch {
    std::string text;
    std::vector<size_t> ends;  // one past each line's last byte in text
    std::vector<ReadyLine> ready;

    size_t size() const { return ends.size(); }
    std::string_view line(size_t i) const {
      const size_t begin = i == 0 ? 0 : ends[i - 1];
      return std::string_view(text).substr(begin, ends[i] - begin);
    }
  };

  virtual void decision(const ReadyDecision& d) = 0;
  virtual void resolution(const ResolutionLine& r) = 0;
  // Called once a batch has been stepped through, while its lines and what
  // they became are still there: a pass may finish the batch's work here.
  virtual void stepped() {}
  bool add_line(std::string_view text);
  // Moves every batch one role on: the one being read becomes ready, the
  // full one starts being read, and the ready one is stepped through
  // meanwhile. The batch being read is still read after the call returns,
  // while the caller fetches the next bytes.
  void advance();
  // Steps through every line of the ready batch, in order, and empties it.
  void step_ready();
  // Everything taken so far read and stepped through.
  void drain();

  PassOptions options_;
  LineFeed lines_in_;
  std::vector<uint32_t> more_bits_;
  std::vector<std::unique_ptr<LineWorker>> workers_;  // one per thread
  // Three batches, whose roles rotate; the batches themselves never move,
  // since the helpers hold on to the one they read.
  Batch batches_[3];
  Batch* filling_ = &batches_[0];
  Batch* reading_ = &batches_[1];
  Batch* ready_ = &batches_[2];
  bool in_flight_ = false;  // reading_ is being read
  BatchWorkers pool_;
  uint64_t lines_ = 0;
  bool declined_ = false;
  uint64_t declined_line_ = 0;
  std::string reason_;
};

}  // namespace sorvane::toolkit
