// Splits a log handed over in pieces into its lines. A line ends at '\n'
// (which it keeps) and may span pieces; the last line may lack its newline.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace sorvane::toolkit {

class LineFeed {
 public:
  // Calls on_line(text) for each line the bytes complete, while it returns
  // true; returns false as soon as it does not.
  template <class OnLine>
  bool feed(std::string_view bytes, OnLine&& on_line) {
    while (!bytes.empty()) {
      const void* nl = std::memchr(bytes.data(), '\n', bytes.size());
      if (nl == nullptr) {
        partial_.append(bytes);
        return true;
      }
      const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - bytes.data()) + 1;
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
  std::string partial_;  // a line begun and not yet ended
};

}  // namespace sorvane::toolkit
