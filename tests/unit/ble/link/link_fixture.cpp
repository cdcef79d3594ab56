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

FakeChair connect_quiet_chair(LinkRig& rig, uint32_t props) {
  auto chair = add_data_chair(*rig.fake, props);
  answer_queries(chair, full_report({3, 0, 2, 5, 4, 30, 0x18}), [](int n) { return n == 1; });
  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  const size_t init_frames = 3;  // default settings: switch, cooling level, lumbar
  EXPECT_TRUE(eventually([&] { return chair.chars[0]->writes().size() == 1 + init_frames; }));
  rig.events.drain();
  return chair;
}

std::vector<std::string> Recorder::drain() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out(lines_.begin() + static_cast<std::ptrdiff_t>(consumed_), lines_.end());
  consumed_ = lines_.size();
  return out;
}

}  // namespace chair::test::link
