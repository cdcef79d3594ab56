#include "tools/chairctl/sse.h"

#include <algorithm>

namespace chairctl {

std::vector<std::string> SseSplitter::feed(std::string_view bytes) {
  std::vector<std::string> records;
  while (!bytes.empty() && !overflowed_) {
    const size_t lf = bytes.find('\n');
    if (line_.size() + std::min(lf, bytes.size()) > max_line_) {
      overflowed_ = true;
      line_.clear();
      break;
    }
    if (lf == std::string_view::npos) {
      line_.append(bytes);
      break;
    }
    line_.append(bytes.substr(0, lf));
    bytes.remove_prefix(lf + 1);

    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.rfind("data:", 0) == 0) {
      line.remove_prefix(5);
      // The service always puts one space after the colon; a stream without it is still read.
      if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
      records.emplace_back(line);
    } else if (!line.empty() && line.front() == ':') {
      ++comments_;
    }
    // Blank lines end a record, which is always one line here; other fields are not used.
    line_.clear();
  }
  return records;
}

}  // namespace chairctl
