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
#include "fake_platform.h"
#include "frames.h"
#include "tools/chair-model/chair_model.h"

namespace chair::test::link {

using namespace std::chrono_literals;

inline constexpr uint64_t kChairAddress = 0xC0FFEE01020A;
inline constexpr const char* kChairText = "C0:FF:EE:01:02:0A";
inline constexpr const char* kServiceUuid = "0000fff0-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kOtherServiceUuid = "0000180a-0000-1000-8000-00805f9b34fb";
inline constexpr uint32_t kDataProps =
    ble::kPropRead | ble::kPropWriteWithoutResponse | ble::kPropWrite | ble::kPropNotify;

// The service's pauses divided by ten.
inline ble::LinkTimings fast_timings() {
  ble::LinkTimings t;
  t.discovery_retry = 50ms;
  t.after_subscribe = 30ms;
  t.status_wait = 150ms;
  t.status_check = 5ms;
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

// A chair on the fake platform: a device with a GATT layout.
struct FakeChair {
  FakeDevicePtr device;
  std::vector<FakeCharacteristicPtr> chars;  // every characteristic, in layout order
  std::vector<FakeServicePtr> services;
};

// `layout`: one entry per service, each a list of (uuid, properties).
using Layout = std::vector<std::pair<std::string, std::vector<std::pair<std::string, uint32_t>>>>;
FakeChair add_chair(FakePlatform& fake, const Layout& layout, const std::string& name = "TAMRO S1",
                    uint64_t address = kChairAddress);
// The usual chair: one service holding the data characteristic with `props`.
FakeChair add_data_chair(FakePlatform& fake, uint32_t props = kDataProps, const std::string& name = "TAMRO S1",
                         uint64_t address = kChairAddress);

// Queries written to any characteristic of the chair are answered with `report` on every
// characteristic (only the subscribed one passes it on) when `answer(n)` holds for the
// query's number n (1-based). Other frames are not answered.
void answer_queries(
    const FakeChair& chair, Bytes report, std::function<bool(int)> answer = [](int) { return true; });
// A chair model behind the data characteristic: every write is applied and answered.
std::shared_ptr<sim::ChairModel> attach_model(const FakeCharacteristicPtr& data);

// The frames written to `c` that equal `frame`.
int count_writes(const FakeCharacteristicPtr& c, const Bytes& frame);

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

}  // namespace chair::test::link
