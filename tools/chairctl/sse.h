// Cuts the bytes of an event stream into its records, whatever sizes the network delivers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace chairctl {

class SseSplitter {
 public:
  // A line longer than `max_line` bytes is not kept: the splitter stops there (overflowed()).
  explicit SseSplitter(size_t max_line) : max_line_(max_line) {}

  // Takes the next bytes of the stream body; returns the records completed by them,
  // each the text after "data: " exactly as sent.
  std::vector<std::string> feed(std::string_view bytes);
  // Comment lines (": ping") seen so far; a quiet stream still shows it is alive.
  unsigned long comments() const { return comments_; }
  // Bytes of a line that has not ended yet.
  size_t pending() const { return line_.size(); }
  // A line outgrew max_line; nothing more is taken.
  bool overflowed() const { return overflowed_; }

 private:
  size_t max_line_;
  bool overflowed_ = false;
  std::string line_;
  unsigned long comments_ = 0;
};

}  // namespace chairctl
