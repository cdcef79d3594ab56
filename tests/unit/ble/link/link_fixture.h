// The chair link on its own: the scripted platform below it, and above it a recorder of
// everything the link reports, as short comparable lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ble/link/chair_link.h"
#include "eventually.h"
#include "fake_chairs.h"
#include "tools/chair-model/chair_model.h"

namespace chair::test::link {

using namespace std::chrono_literals;

// The service's pauses divided by ten.
inline ble::LinkTimings fast_timings() {
  ble::LinkTimings t;
  t.discovery_retry = 50ms;
  t.after_subscribe = 30ms;
  t.status_wait = 150ms;
  t.before_init = 40ms;
  t.init_step = 15ms;
  t.poll_interval = 200ms;
  t.silent_step = 5ms;
  return t;
}
// No poll: the writes under test are the only traffic after the handshake.
inline ble::LinkTimings no_poll_timings() {
  ble::LinkTimings t = fast_timings();
  t.poll_interval = std::chrono::hours(1);
  return t;
}

// Everything the link reports, as lines: "status:connecting", "status:connected/<name>",
// "status:idle", "log:<text>", "chair:<raw hex>". Also the link's directory.
class Recorder final : public ble::LinkEvents, public ble::LinkDirectory {
 public:
  void on_link_log(std::string text) override { add("log:" + text); }
  void on_link_status(ble::LinkStatus status, const std::string& name) override {
    switch (status) {
      case ble::LinkStatus::Idle: add("status:idle"); break;
      case ble::LinkStatus::Connecting: add("status:connecting"); break;
      case ble::LinkStatus::Connected: add("status:connected/" + name); break;
    }
  }
  void on_chair_status(ble::ChairStatus status) override { add("chair:" + status.raw); }

  std::string remembered_name(const std::string& address) override {
    std::lock_guard lock(mutex_);
    return names_ ? names_(address) : std::string();
  }
  ble::InitConfig initial_settings() override {
    std::lock_guard lock(mutex_);
    return settings_;
  }
  void set_names(std::function<std::string(const std::string&)> names) {
    std::lock_guard lock(mutex_);
    names_ = std::move(names);
  }
  void set_settings(ble::InitConfig settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
  }

  // The lines not consumed yet, up to and including `last` (fails the test when it does
  // not come).
  std::vector<std::string> until(const std::string& last, std::chrono::milliseconds timeout = 5s);
  bool wait_line(const std::string& line, std::chrono::milliseconds timeout = 5s);
  // Every line not consumed yet.
  std::vector<std::string> drain();

 private:
  void add(std::string line) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
    }
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  size_t consumed_ = 0;
  std::function<std::string(const std::string&)> names_;
  ble::InitConfig settings_;
};

// When the chair got each status query, for the tests of the service's own pacing. Shared
// with the chair's hook, which may still run after the test body has returned.
class QueryTimes {
 public:
  // The chair answers every query (or none) with `report`, noting when each came.
  static std::shared_ptr<QueryTimes> attach(const FakeChair& chair, const Bytes& report, bool answer) {
    auto times = std::make_shared<QueryTimes>();
    answer_queries(chair, report, [times, answer](int) {
      std::lock_guard lock(times->mutex_);
      times->at_.push_back(std::chrono::steady_clock::now());
      return answer;
    });
    return times;
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return at_.size();
  }
  // Milliseconds between query `i` and the one before it (0 is the first).
  int64_t gap_ms(size_t i) const {
    std::lock_guard lock(mutex_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(at_.at(i) - at_.at(i - 1)).count();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::chrono::steady_clock::time_point> at_;
};

// The link under test with its platform and recorder.
struct LinkRig {
  explicit LinkRig(ble::LinkTimings timings = fast_timings())
      : link(std::make_unique<ble::ChairLink>(fake, events, events, timings)) {}
  ~LinkRig() { link.reset(); }

  std::shared_ptr<FakePlatform> fake = std::make_shared<FakePlatform>();
  Recorder events;
  std::unique_ptr<ble::ChairLink> link;

  bool connect(const std::string& address = kChairText) { return link->connect(address); }
  ble::LinkPhase phase() const { return link->view().phase; }
};

// A connected chair that answered its first query, took the default initial settings and
// stays silent afterwards; the recorder is drained.
FakeChair connect_quiet_chair(LinkRig& rig, uint32_t props = kDataProps);

}  // namespace chair::test::link
