#include "link_fixture.h"

namespace chair::test::link {

std::vector<std::string> Recorder::until(const std::string& last, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  size_t seen = consumed_;
  bool found = changed_.wait_for(lock, timeout, [&] {
    for (; seen < lines_.size(); ++seen) {
      if (lines_[seen] == last) return true;
    }
    return false;
  });
  std::vector<std::string> out(lines_.begin() + static_cast<std::ptrdiff_t>(consumed_),
                               lines_.begin() + static_cast<std::ptrdiff_t>(found ? seen + 1 : seen));
  consumed_ = found ? seen + 1 : seen;
  if (!found) {
    std::string all;
    for (const auto& l : out) all += "\n  " + l;
    ADD_FAILURE() << "no line \"" << last << "\"; seen:" << all;
  }
  return out;
}

bool Recorder::wait_line(const std::string& line, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  size_t seen = consumed_;
  bool found = changed_.wait_for(lock, timeout, [&] {
    for (; seen < lines_.size(); ++seen) {
      if (lines_[seen] == line) return true;
    }
    return false;
  });
  consumed_ = found ? seen + 1 : lines_.size();
  return found;
}

std::vector<std::string> Recorder::drain() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out(lines_.begin() + static_cast<std::ptrdiff_t>(consumed_), lines_.end());
  consumed_ = lines_.size();
  return out;
}

}  // namespace chair::test::link
