// The service's chair link on the Windows backend over the fake runtime: the handshake's
// choice of characteristics, commands and the chair's split reports, the status poll noticing
// a lost chair, the supervisor's connection-status reads and the silent shutdown. Every case
// ends, through BackendTest, with nothing the backend obtained still alive.
#include <gmock/gmock.h>

#include <algorithm>

#include "backend/backend_rig.h"
#include "ble/link/chair_link.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/frame.h"
#include "ble/protocol/status.h"

namespace chair::test {
namespace {

using ::testing::HasSubstr;
using Health = ble::ChairLink::Health;

constexpr const char* kQuery = "55 01 0A 02 00 09 AA";
constexpr const char* kWaterOff = "55 07 0A 02 04 0B AA";  // all the quiet initial settings send

// What the link reports, as lines ("log:<text>", "status:<state>[/<name>]", "chair:<raw>"), and
// the directory it asks while connecting.
class LinkLines final : public ble::LinkEvents, public ble::LinkDirectory {
 public:
  void on_link_log(std::string text) override {
    // A slow listener stretches the moment between a report arriving and it being told.
    if (text.rfind("RX: ", 0) == 0) std::this_thread::sleep_for(rx_delay);
    lines.add("log:" + text);
  }
  void on_link_status(ble::LinkStatus status, const std::string& name) override {
    static const char* const kNames[] = {"idle", "connecting", "connected"};
    lines.add(std::string("status:") + kNames[static_cast<int>(status)] + (name.empty() ? "" : "/" + name));
  }
  void on_chair_status(ble::ChairStatus status) override {
    lines.add("chair:" + status.raw);
    reports.add(std::move(status));
  }
  std::string remembered_name(const std::string&) override { return ""; }
  // Only the water switch goes out, so a case's own frames stand alone.
  ble::InitConfig initial_settings() override { return {.water = "off", .coolLevel = 0, .lumbar = 0}; }

  // Index of `line` at or after `from`.
  std::optional<size_t> wait(const std::string& line, size_t from = 0, std::chrono::milliseconds timeout = 5s) {
    std::optional<size_t> found;
    eventually(
        [&] {
          const auto all = lines.items();
          for (size_t i = from; i < all.size(); ++i) {
            if (all[i] == line) {
              found = i;
              return true;
            }
          }
          return false;
        },
        timeout);
    return found;
  }
  std::string dump(size_t from = 0) const {
    std::string out;
    const auto all = lines.items();
    for (size_t i = from; i < all.size(); ++i) out += all[i] + "\n";
    return out;
  }

  Collected<std::string> lines;
  Collected<ble::ChairStatus> reports;
  std::chrono::milliseconds rx_delay{0};
};

bool in_order(const std::vector<std::string>& all, const std::vector<std::string>& wanted) {
  size_t next = 0;
  for (const auto& item : all) {
    if (next < wanted.size() && item == wanted[next]) ++next;
  }
  return next == wanted.size();
}

// The service's pauses shortened; the status waits stay long enough for the operations'
// 10 ms status reads under Wine.
ble::LinkTimings link_timings(std::chrono::milliseconds poll) {
  ble::LinkTimings t;
  t.discovery_retry = 50ms;
  t.after_subscribe = 20ms;
  t.status_wait = 800ms;
  t.before_init = 20ms;
  t.init_step = 10ms;
  t.poll_interval = poll;
  t.silent_step = 5ms;
  return t;
}

class LinkOnTheRuntime : public BackendTest {
 protected:
  void TearDown() override {
    link_.reset();
    BackendTest::TearDown();
  }

  // A chair described in the simulator's words, linked and past its initial settings.
  void connect(const std::string& options = ",name=TAMRO-X1", std::chrono::milliseconds poll = std::chrono::hours(1)) {
    ASSERT_TRUE(fakert::add_device(kChair + options));
    link_ = std::make_unique<ble::ChairLink>(platform_, events_, events_, link_timings(poll));
    ASSERT_TRUE(link_->connect(kChair));
    ASSERT_TRUE(events_.wait("status:connected/TAMRO-X1")) << events_.dump();
    ASSERT_TRUE(events_.wait("log:TX: " + std::string(kWaterOff))) << events_.dump();
    ASSERT_TRUE(eventually(
        [&] { return !fakert::writes(kChair).empty() && fakert::writes(kChair).back().ends_with(kWaterOff); }));
  }

  // The frames the chair accepted from `from` on, without the write type.
  static std::vector<std::string> frames(size_t from = 0) {
    std::vector<std::string> out;
    const auto all = fakert::writes(kChair);
    for (size_t i = from; i < all.size(); ++i) out.push_back(all[i].substr(all[i].find(' ') + 1));
    return out;
  }

  LinkLines events_;
  std::unique_ptr<ble::ChairLink> link_;
};

struct LayoutCase {
  const char* layout;
  std::vector<std::string> lines;  // in this order
  const char* write_type;          // how the chair sees the frames; nullptr: the handshake fails
  friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.layout; }
};
class Handshake : public LinkOnTheRuntime, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Handshake, ChoosesTheCharacteristicsAndWritesAsTheyAllow) {
  const LayoutCase& c = GetParam();
  ASSERT_TRUE(fakert::add_device(kChair + std::string(",name=TAMRO-X1,layout=") + c.layout));
  link_ = std::make_unique<ble::ChairLink>(platform_, events_, events_, link_timings(std::chrono::hours(1)));
  ASSERT_TRUE(link_->connect(kChair)) << "the device opens whatever it offers";
  ASSERT_TRUE(events_.wait(c.lines.back())) << events_.dump();
  EXPECT_TRUE(in_order(events_.lines.items(), c.lines)) << events_.dump();
  if (!c.write_type) {
    EXPECT_EQ(link_->view().phase, ble::LinkPhase::Closed);
    EXPECT_TRUE(eventually([] { return !fakert::device_connected(kChair); })) << "the failed link is let go";
    EXPECT_TRUE(fakert::writes(kChair).empty());
    return;
  }
  ASSERT_TRUE(link_->send_level(ble::kCold, 5));
  EXPECT_EQ(fakert::chair_state(kChair).cold, 5);
  EXPECT_EQ(fakert::writes(kChair).back(), std::string(c.write_type) + " 55 02 0A 02 05 0F AA");
  EXPECT_EQ(fakert::writes(kChair).front(), std::string(c.write_type) + " " + kQuery);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Handshake,
    ::testing::Values(
        LayoutCase{"normal",
                   {"status:connecting", "log:found 1 services", "log:  Service 0000fff0-0000-1000-8000-00805f9b34fb",
                    "log:    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[Read,WriteNoResp,Write,Notify]",
                    "log:write/notify share one characteristic", "log:write mode = WriteWithoutResponse",
                    "log:notifications subscribed", "log:querying initial status...", "log:TX: 55 01 0A 02 00 09 AA",
                    "chair:55 01 0B 08 00 00 00 00 00 1C 08 16 AA", "status:connected/TAMRO-X1",
                    "log:connected TAMRO-X1 (C0:FF:EE:01:02:0A)"},
                   "command"},
        LayoutCase{"indicate-only",
                   {"log:    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[Read,Write,Indicate]",
                    "log:write/notify share one characteristic", "log:write mode = WriteWithResponse",
                    "log:indications subscribed", "status:connected/TAMRO-X1"},
                   "request"},
        LayoutCase{
            "write-only-with-notifier",
            {"log:    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[WriteNoResp,Write]",
             "log:    Char 0000fff1-0000-1000-8000-00805f9b34fb props=[Notify]",
             "log:write characteristic = 7772e5db-3868-4112-a1a9-f2669d106bf3", "log:write mode = WriteWithoutResponse",
             "log:notifications subscribed", "status:connected/TAMRO-X1"},
            "command"},
        // No data characteristic: the service's notifying one takes the frames as well.
        LayoutCase{"foreign-char",
                   {"log:    Char 0000fff1-0000-1000-8000-00805f9b34fb props=[Read,Write,Notify]",
                    "log:write/notify share one characteristic", "log:write mode = WriteWithResponse",
                    "log:notifications subscribed", "status:connected/TAMRO-X1"},
                   "request"},
        LayoutCase{"no-data-char",
                   {"log:    Char 0000fff2-0000-1000-8000-00805f9b34fb props=[Read]",
                    "log:BCA4 notify characteristic not found; reconnecting", "status:idle"},
                   nullptr}),
    [](const auto& info) {
      std::string name = info.param.layout;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST_F(LinkOnTheRuntime, TheFirstReportIsToldBeforeTheLinkSaysConnected) {
  events_.rx_delay = 200ms;
  ASSERT_NO_FATAL_FAILURE(connect());
  EXPECT_TRUE(
      in_order(events_.lines.items(), {"log:RX: 55 01 0B 08 00 00 00 00 00 1C 08 16 AA",
                                       "chair:55 01 0B 08 00 00 00 00 00 1C 08 16 AA", "status:connected/TAMRO-X1"}))
      << events_.dump();
}

TEST_F(LinkOnTheRuntime, CommandsReachTheChairInOrderAndItsSplitReportsAreReassembled) {
  ASSERT_NO_FATAL_FAILURE(connect(",name=TAMRO-X1,chunking,seed=7"));
  const size_t sent = fakert::writes(kChair).size();
  const size_t reported = events_.reports.size();
  ASSERT_TRUE(link_->send_level(ble::kCold, 5));
  ASSERT_TRUE(link_->send_level(ble::kLumbar, 3));
  ASSERT_TRUE(link_->send_level(ble::kVibrate, 7));
  ASSERT_TRUE(link_->send_switch(0x0B));
  const ble::Bytes volume4{0x55, 0x05, 0x0A, 0x02, 0x04, 0x09, 0xAA};
  ASSERT_TRUE(link_->send_raw(volume4));
  ASSERT_TRUE(link_->send_query());
  EXPECT_EQ(frames(sent),
            (std::vector<std::string>{"55 02 0A 02 05 0F AA", "55 06 0A 02 03 0D AA", "55 04 0A 02 07 0B AA",
                                      "55 07 0A 02 0B 04 AA", "55 05 0A 02 04 09 AA", kQuery}));

  // The chair's answers come cut and merged across notifications; what the link decodes is
  // whole frames, the last of them the full report after the query.
  ASSERT_TRUE(eventually([&] {
    const auto reports = events_.reports.items();
    return !reports.empty() && reports.back().raw.rfind("55 01 0B", 0) == 0 && reports.back().cold == 5;
  })) << events_.dump();
  const ble::ChairStatus last = events_.reports.items().back();
  EXPECT_EQ(last.lumbar, 3);
  EXPECT_EQ(last.vibrate, 7);
  EXPECT_EQ(last.volume, 4);
  EXPECT_EQ(last.switchByte, 0x0B);
  EXPECT_TRUE(last.btAudio && last.motion && last.seated);
  // Every answer decoded once, whole, in the order the same chair without chunking sends them.
  sim::ChairModel reference;
  std::vector<std::string> expected, received;
  const auto all_frames = frames();
  for (size_t i = 0; i < all_frames.size(); ++i) {
    for (const auto& answer : reference.on_write(ble::raw_bytes(all_frames[i]).value())) {
      if (i >= sent) expected.push_back(ble::hex_dump(answer));
    }
  }
  const auto reports = events_.reports.items();
  for (size_t i = reported; i < reports.size(); ++i) received.push_back(reports[i].raw);
  EXPECT_EQ(received, expected);
}

struct LossCase {
  const char* name;
  std::vector<std::string> control;
  const char* first_failure;
  friend void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }
};
class StatusPoll : public LinkOnTheRuntime, public ::testing::WithParamInterface<LossCase> {};

TEST_P(StatusPoll, GivesUpALostChairAfterThreeBeatsAndLetsItGo) {
  ASSERT_NO_FATAL_FAILURE(connect(",name=TAMRO-X1", 150ms));
  const size_t polled = events_.lines.size();
  ASSERT_TRUE(events_.wait("log:TX: " + std::string(kQuery), polled)) << "the poll beats";
  ASSERT_EQ(fakert::control(GetParam().control), "");
  const size_t lost = events_.lines.size();
  const auto failed = events_.wait("log:status poll failed; reconnecting", lost, 10s);
  ASSERT_TRUE(failed) << events_.dump(lost);
  EXPECT_TRUE(events_.wait("status:idle", *failed)) << events_.dump(lost);
  const auto after = events_.lines.items();
  EXPECT_EQ(std::count(after.begin() + static_cast<std::ptrdiff_t>(lost), after.end(),
                       std::string("log:") + GetParam().first_failure),
            1)
      << "only the first failure of a run is told\n"
      << events_.dump(lost);
  EXPECT_EQ(link_->view().phase, ble::LinkPhase::Closed);
  EXPECT_TRUE(eventually([] { return !fakert::device_connected(kChair); }));
}

INSTANTIATE_TEST_SUITE_P(Losses, StatusPoll,
                         ::testing::Values(LossCase{"chair_switched_off",
                                                    {"drop", kChair},
                                                    "status poll write failed: status GattCommunicationStatus(1)"},
                                           LossCase{"chair_silent", {"silent", "on", kChair}, "status poll timeout"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkOnTheRuntime, TheSupervisorsHealthCheckReadsTheConnectionStatus) {
  ASSERT_NO_FATAL_FAILURE(connect());
  const uint64_t generation = link_->view().generation;
  size_t from = fakert::call_count();
  EXPECT_EQ(link_->check_health(generation, 3, 10ms), Health::Healthy);
  EXPECT_EQ(calls_of(from, {"BluetoothLEDevice.get_ConnectionStatus"}).size(), 1u);

  ASSERT_EQ(fakert::control({"drop", kChair}), "");
  from = fakert::call_count();
  EXPECT_EQ(link_->check_health(generation, 3, 10ms), Health::Lost);
  EXPECT_EQ(calls_of(from, {"BluetoothLEDevice.get_ConnectionStatus"}).size(), 3u) << "every reading taken";

  ASSERT_EQ(fakert::control({"present", kChair}), "");
  EXPECT_EQ(link_->check_health(generation, 3, 10ms), Health::Healthy) << "the session brought the link back";
  fakert::fail_call("BluetoothLEDevice.get_ConnectionStatus", E_FAIL);
  EXPECT_EQ(link_->check_health(generation, 3, 10ms), Health::Lost) << "an unreadable status is no connection";

  link_->teardown();
  EXPECT_EQ(link_->check_health(generation, 3, 10ms), Health::Replaced);
}

TEST_F(LinkOnTheRuntime, QuietSilencesTheChairFrameByFrameAndClosesEverything) {
  ASSERT_NO_FATAL_FAILURE(connect());
  ASSERT_TRUE(link_->send_level(ble::kVibrate, 7));
  ASSERT_TRUE(link_->send_level(ble::kCold, 4));
  const size_t sent = fakert::writes(kChair).size();
  const size_t from = fakert::call_count();
  const size_t said = events_.lines.size();
  link_->quiet();

  std::vector<std::string> silent;
  for (const auto& f : ble::silent_frames()) silent.push_back(ble::hex_dump(f));
  EXPECT_EQ(frames(sent), silent);
  const sim::ChairState chair = fakert::chair_state(kChair);
  EXPECT_EQ(std::vector<int>({chair.cold, chair.hot, chair.vibrate, chair.volume, chair.lumbar}),
            std::vector<int>(5, 0));
  const auto lines = events_.lines.items();
  EXPECT_TRUE(in_order({lines.begin() + static_cast<std::ptrdiff_t>(said), lines.end()},
                       {"log:silent shutdown: turning off all chair functions...", "log:TX: " + silent.front(),
                        "log:TX: " + silent.back(), "log:chair entered silent state"}))
      << events_.dump(said);
  EXPECT_EQ(calls_of(from, {"GattCharacteristic.remove_ValueChanged", "GattSession.Close", "BluetoothLEDevice.Close"}),
            (std::vector<std::string>{"GattCharacteristic.remove_ValueChanged", "GattSession.Close",
                                      "BluetoothLEDevice.Close"}));
  EXPECT_FALSE(fakert::device_connected(kChair));
  EXPECT_EQ(link_->send_query().error(), "not connected or characteristic not found");
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> control;
  const char* error;
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};
class RefusedWrite : public LinkOnTheRuntime, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedWrite, IsTriedBothWaysAndReportedAndTheLinkStays) {
  ASSERT_NO_FATAL_FAILURE(connect());
  ASSERT_EQ(fakert::control(GetParam().control), "");
  const size_t from = fakert::call_count();
  const Status written = link_->send_level(ble::kCold, 5);
  ASSERT_FALSE(written);
  EXPECT_THAT(written.error(), HasSubstr(GetParam().error));
  EXPECT_EQ(
      calls_of(from, {"GattCharacteristic.WriteValueWithOptionAsync"}),
      (std::vector<std::string>{"GattCharacteristic.WriteValueWithOptionAsync(55 02 0A 02 05 0F AA, WithoutResponse)",
                                "GattCharacteristic.WriteValueWithOptionAsync(55 02 0A 02 05 0F AA, WithResponse)"}));
  ASSERT_EQ(fakert::control({"accept-writes", kChair}), "");
  EXPECT_TRUE(link_->send_level(ble::kCold, 5));
  EXPECT_EQ(fakert::chair_state(kChair).cold, 5);
  EXPECT_EQ(link_->view().phase, ble::LinkPhase::Connected);
}

TEST_F(LinkOnTheRuntime, AWriteBufferThatCannotBeMadeEndsTheWriteAtOnce) {
  ASSERT_NO_FATAL_FAILURE(connect());
  const size_t from = fakert::call_count();
  fakert::fail_call("DataWriter.DetachBuffer", E_OUTOFMEMORY);
  const Status written = link_->send_level(ble::kCold, 5);
  ASSERT_FALSE(written);
  EXPECT_THAT(written.error(), HasSubstr("0x8007000E"));
  EXPECT_TRUE(calls_of(from, {"GattCharacteristic.WriteValueWithOptionAsync"}).empty()) << "no option was tried";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedWrite,
    ::testing::Values(RefusalCase{"by_status", {"refuse-writes", kChair}, "status GattCommunicationStatus(2)"},
                      RefusalCase{"by_error", {"refuse-writes", kChair, "0x80650003"}, "0x80650003"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chair::test
