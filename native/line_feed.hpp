// Splits a log handed over in pieces into its lines. A line ends at '\n'
// (which it keeps) and may span pieces; the last line may lack its newline.
// A line longer than the bound is never held whole: the feed stops there.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace sorvane::toolkit {

class LineFeed {
 public:
  // Lines longer than this many bytes, their newline aside, stop the feed.
  void set_limit(size_t bytes) { limit_ = bytes; }
  bool too_long() const { return too_long_; }

  // Calls on_line(text) for each line the bytes complete, while it returns
  // true; returns false as soon as it does not, or at a line too long.
  template <class OnLine>
  bool feed(std::string_view bytes, OnLine&& on_line) {
    while (!bytes.empty()) {
      const void* nl = std::memchr(bytes.data(), '\n', bytes.size());
      if (nl == nullptr) {
        if (partial_.size() + bytes.size() > limit_) return stop();
        partial_.append(bytes);
        return true;
      }
      const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - bytes.data()) + 1;
      if (partial_.size() + end - 1 > limit_) return stop();
      bool go_on;
      if (partial_.empty()) {
        go_on = on_line(bytes.substr(0, end));
      } else {
        partial_.append(bytes.substr(0, end));
        const std::string whole = std::move(partial_);
        partial_.clear();
        go_on = on_line(std::string_view(whole));
      }
      if (!go_on) return false;
      bytes.remove_prefix(end);
    }
    return true;
  }

  // The end of the log: hands over its last line when it lacks a newline.
  template <class OnLine>
  bool finish(OnLine&& on_line) {
    if (partial_.empty()) return true;
    const std::string last = std::move(partial_);
    partial_.clear();
    return on_line(std::string_view(last));
  }

  void clear() {
    partial_.clear();
    partial_.shrink_to_fit();
  }

 private:
  bool stop() {
    too_long_ = true;
    clear();
    return false;
  }

  std::string partial_;  // a line begun and not yet ended
  size_t limit_ = size_t{64} << 20;
  bool too_long_ = false;
};

}  // namespace sorvane::toolkit
