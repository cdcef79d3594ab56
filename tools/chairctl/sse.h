// Cuts the bytes of an event stream into its records, whatever sizes the network delivers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace chairctl {

class SseSplitter {
 public:
  // Takes the next bytes of the stream body; returns the records completed by them,
  // each the text after "data: " exactly as sent.
  std::vector<std::string> feed(std::string_view bytes);
  // Comment lines (": ping") seen so far; a quiet stream still shows it is alive.
  unsigned long comments() const { return comments_; }
  // Bytes of a line that has not ended yet.
  size_t pending() const { return line_.size(); }

 private:
  std::string line_;
  unsigned long comments_ = 0;
};

}  // namespace chairctl
