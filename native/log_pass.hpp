// One pass over the experience log, fed in pieces: lines are split and
// bounded, each is read into a decision or a resolution and handed to the
// pass's own step. A pass declines the whole log at the first line it
// cannot take exactly as the Python toolkit would; it then ignores the rest,
// and the Python path reads the log from the start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "api.hpp"
#include "line_feed.hpp"
#include "log_reader.hpp"

namespace sorvane::toolkit {

class LogPass {
 public:
  LogPass(const LogPass&) = delete;
  LogPass& operator=(const LogPass&) = delete;

  // The next bytes of the log; lines end at '\n' and may span calls.
  // Returns false once the pass has declined (later bytes are ignored).
  bool feed(std::string_view bytes);
  // The end of the log: its last line may lack a newline.
  void finish();
  // Counts a line the caller read itself (the log's header line).
  void skip_line() { ++lines_; }
  // Lines longer than this (their newline aside) are declined unread.
  void set_line_limit(size_t bytes) { lines_in_.set_limit(bytes); }

  bool declined() const { return declined_; }
  uint64_t declined_line() const { return declined_line_; }
  const std::string& decline_reason() const { return reason_; }
  uint64_t lines() const { return lines_; }

 protected:
  LogPass() = default;
  ~LogPass() = default;

  // The first reason given is kept; the line is the one being read.
  void decline(const char* why);
  // The saved state a log continues from, with its bits; nothing (and the
  // pass declined) when it does not load.
  std::optional<std::pair<BanditState, uint32_t>> load_saved_state(const std::string& text);

 private:
  virtual void decision(const DecisionLine& d) = 0;
  virtual void resolution(const ResolutionLine& r) = 0;
  bool line(std::string_view text);

  LogReader reader_;
  LineFeed lines_in_;
  uint64_t lines_ = 0;
  bool declined_ = false;
  uint64_t declined_line_ = 0;
  std::string reason_;
};

}  // namespace sorvane::toolkit
