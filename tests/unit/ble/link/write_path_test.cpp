// The write path, the notification path and the wait for a fresh status report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "ble/protocol/commands.h"
#include "link_fixture.h"

namespace chair::test::link {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Option = ble::WriteOption;
using Outcome = FakeCharacteristic::Outcome;

const Bytes kReport = full_report({3, 0, 2, 5, 4, 30, 0x18});
const std::string kQueryTx = "log:TX: 55 01 0A 02 00 09 AA";
const std::string kNotReady = "not connected or characteristic not found";

struct OptionCase {
  const char* what;
  Outcome first, second;  // outcomes of the preferred option and of the other one
  std::string error;      // empty: success
  size_t attempts;
};

void run_option_cases(uint32_t props, Option preferred, Option other, const std::vector<OptionCase>& cases) {
  LinkRig rig(no_poll_timings());
  auto chair = connect_quiet_chair(rig, props);
  auto& data = chair.chars[0];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    data->set_write_result(preferred, c.first);
    data->set_write_result(other, c.second);
    const size_t before = data->writes().size();

    auto sent = rig.link->send_query();
    EXPECT_EQ(sent.ok(), c.error.empty());
    if (!sent) {
      EXPECT_EQ(sent.error(), c.error);
    }
    // One line per call, whatever the attempts did.
    EXPECT_THAT(rig.events.drain(), ElementsAre(kQueryTx));

    auto writes = data->writes();
    std::vector<Option> options;
    for (size_t i = before; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].bytes, ble::query_frame());
      options.push_back(writes[i].option);
    }
    std::vector<Option> expected{preferred, other};
    expected.resize(c.attempts);
    EXPECT_EQ(options, expected);
  }
}

TEST(WritePath, WithoutResponsePreferredThenWithResponse) {
  using S = ble::GattStatus;
  run_option_cases(
      kDataProps, Option::WithoutResponse, Option::WithResponse,
      {
          {"first succeeds", S::Success, S::AccessDenied, "", 1},
          {"unreachable, then success", S::Unreachable, S::Success, "", 2},
          {"both refused: the second status", S::Unreachable, S::AccessDenied, "status GattCommunicationStatus(3)", 2},
          {"both fail: the second error", fail("radio gone"), fail("still gone"), "still gone", 2},
          {"error, then protocol error", fail("radio gone"), S::ProtocolError, "status GattCommunicationStatus(2)", 2},
          {"refused, then error", S::ProtocolError, fail("late"), "late", 2},
      });
}

TEST(WritePath, WithResponsePreferredWhenTheCharacteristicHasNoWriteWithoutResponse) {
  using S = ble::GattStatus;
  run_option_cases(
      ble::kPropWrite | ble::kPropNotify, Option::WithResponse, Option::WithoutResponse,
      {
          {"first succeeds", S::Success, S::Success, "", 1},
          {"error, then success", fail("busy"), S::Success, "", 2},
          {"error, then unreachable", fail("busy"), S::Unreachable, "status GattCommunicationStatus(1)", 2},
      });
}

TEST(WritePath, RefusedWithoutLoggingUntilTheLinkIsReady) {
  LinkRig rig(no_poll_timings());
  EXPECT_EQ(rig.link->send_query().error(), kNotReady);
  EXPECT_EQ(rig.link->send_raw(Bytes{0x55}).error(), kNotReady);

  // Open, but still discovering: not ready either.
  auto chair = add_data_chair(*rig.fake);
  rig.fake->set_call_delay(300ms);
  EXPECT_TRUE(rig.connect());
  EXPECT_EQ(rig.phase(), ble::LinkPhase::Opening);
  EXPECT_EQ(rig.link->send_switch(0x40).error(), kNotReady);
  EXPECT_THAT(rig.events.drain(), ElementsAre("status:connecting", "log:connecting C0:FF:EE:01:02:0A ...",
                                              "log:link opened TAMRO S1 (C0:FF:EE:01:02:0A)"));
  rig.link->teardown();
  EXPECT_THAT(chair.chars[0]->writes(), IsEmpty());
}

TEST(WritePath, CommandsAndTheThermalMemory) {
  LinkRig rig(no_poll_timings());
  auto chair = connect_quiet_chair(rig, kDataProps);
  auto& data = chair.chars[0];
  auto last = [&] { return data->writes().back().bytes; };
  auto thermal = [&] {
    auto t = rig.link->thermal();
    return std::tuple(t.active, int(t.mode), int(t.level));
  };

  EXPECT_EQ(rig.link->send_level(ble::kHot, 11).error(), "强度必须 1-10，当前 11");
  EXPECT_EQ(thermal(), std::tuple(true, 0, 10));  // the defaults' cooling, untouched
  EXPECT_TRUE(rig.link->send_level(ble::kHot, 4).ok());
  EXPECT_EQ(last(), *ble::level_frame(ble::kHot, 4));
  EXPECT_EQ(thermal(), std::tuple(true, 1, 4));
  EXPECT_TRUE(rig.link->send_level(ble::kLumbar, 2).ok());
  EXPECT_EQ(thermal(), std::tuple(true, 1, 4));
  EXPECT_TRUE(rig.link->send_switch(0x04).ok());
  EXPECT_EQ(last(), ble::switch_frame(0x04));
  EXPECT_EQ(thermal(), std::tuple(false, 1, 4));
  EXPECT_TRUE(rig.link->send_switch(0x41).ok());
  EXPECT_EQ(thermal(), std::tuple(false, 1, 4));
  EXPECT_TRUE(rig.link->send_switch(0x40).ok());
  EXPECT_EQ(thermal(), std::tuple(true, 1, 4));
  EXPECT_TRUE(rig.link->send_raw(Bytes{0x01, 0x02}).ok());
  EXPECT_EQ(last(), (Bytes{0x01, 0x02}));
  EXPECT_THAT(rig.events.drain(), ElementsAre("log:TX: 55 03 0A 02 04 0F AA", "log:TX: 55 06 0A 02 02 0C AA",
                                              "log:TX: 55 07 0A 02 04 0B AA", "log:TX: 55 07 0A 02 41 4E AA",
                                              "log:TX: 55 07 0A 02 40 4F AA", "log:TX: 01 02"));

  // A level is remembered even when no chair can take it; the poll re-asserts it later.
  rig.link->teardown();
  EXPECT_EQ(rig.link->send_level(ble::kCold, 9).error(), kNotReady);
  EXPECT_EQ(thermal(), std::tuple(true, 0, 9));
}

TEST(Notifications, ReportsSplitOrMergedCountOnceAndClosedLinksHearNothing) {
  LinkRig rig(no_poll_timings());
  auto chair = connect_quiet_chair(rig, kDataProps);
  const Bytes first = full_report({1, 0, 0, 0, 0, 20, 0x01});
  const Bytes second = full_report({2, 0, 0, 0, 0, 21, 0x31});

  chair.chars[0]->notify(concat({first, second}));
  EXPECT_THAT(rig.events.drain(),
              ElementsAre("log:RX: " + hex(first), "log:RX: " + hex(second), "chair:" + hex(second)));

  // A single value carries the last report's other fields, its switch byte included.
  const Bytes lumbar = chair_frame(ble::kLumbar, {7});
  chair.chars[0]->notify(lumbar);
  EXPECT_THAT(rig.events.drain(), ElementsAre("log:RX: " + hex(lumbar), "chair:" + hex(lumbar)));

  // A report split over two notifications counts once it is whole.
  const Bytes third = full_report({3, 0, 0, 0, 0, 22, 0x08});
  chair.chars[0]->notify(Bytes(third.begin(), third.begin() + 3));
  EXPECT_THAT(rig.events.drain(), IsEmpty());
  chair.chars[0]->notify(Bytes(third.begin() + 3, third.end()));
  EXPECT_THAT(rig.events.drain(), ElementsAre("log:RX: " + hex(third), "chair:" + hex(third)));

  rig.link->teardown();
  chair.chars[0]->notify(full_report({9, 0, 0, 0, 0, 0, 0}));
  EXPECT_THAT(rig.events.drain(), IsEmpty());
}

TEST(WaitForStatus, ATeardownEndsTheWaitAtOnce) {
  ble::LinkTimings t = fast_timings();
  t.status_wait = 2s;
  LinkRig rig(t);
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport, [](int) { return false; });
  EXPECT_TRUE(rig.connect());
  rig.events.until("log:TX: 55 01 0A 02 00 09 AA");
  ASSERT_TRUE(eventually([&] { return count_writes(chair.chars[0], ble::query_frame()) == 1; }));

  const auto start = std::chrono::steady_clock::now();
  rig.link->teardown();
  // The handshake notices at once and says nothing more.
  EXPECT_FALSE(rig.events.wait_line("log:initial status timeout (1/3)", 500ms));
  EXPECT_EQ(count_writes(chair.chars[0], ble::query_frame()), 1);
  rig.link.reset();  // returns once the handshake's worker has ended
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

}  // namespace
}  // namespace chair::test::link
