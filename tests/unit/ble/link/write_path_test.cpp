// The write path, the notification handler and the wait for a fresh status report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ble/link.h"
#include "ble/protocol/commands.h"
#include "link_rig.h"
#include "main/http.h"
#include "main/service_state.h"

namespace chair::test::link {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Option = ble::WriteOption;
using Outcome = FakeCharacteristic::Outcome;

const Bytes kReport = full_report({3, 0, 2, 5, 4, 30, 0x18});
const std::string kQueryTx = "log:TX: 55 01 0A 02 00 09 AA";

// No poll: the writes under test are the only traffic after the handshake.
Timings quiet_timings() {
  Timings t = fast_timings();
  t.poll_interval = std::chrono::hours(1);
  return t;
}

// A connected chair that answered its first query and stays silent afterwards.
FakeChair connect_quiet_chair(Rig& rig, uint32_t props) {
  auto chair = add_data_chair(*rig.fake, props);
  answer_queries(chair, kReport, [](int n) { return n == 1; });
  EXPECT_EQ(rig.connect(), ok_reply());
  rig.until("status:connected/TAMRO S1");
  const size_t init_frames = 3;  // default settings: switch, cooling level, lumbar
  EXPECT_TRUE(eventually([&] { return chair.chars[0]->writes().size() == 1 + init_frames; }));
  rig.drain();
  return chair;
}

struct OptionCase {
  const char* what;
  Outcome first, second;  // outcomes of the preferred option and of the other one
  std::string error;      // empty: success
  size_t attempts;
};

void run_option_cases(uint32_t props, Option preferred, Option other, const std::vector<OptionCase>& cases) {
  Rig rig(quiet_timings());
  auto chair = connect_quiet_chair(rig, props);
  auto& data = chair.chars[0];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    data->set_write_result(preferred, c.first);
    data->set_write_result(other, c.second);
    const size_t before = data->writes().size();

    auto reply = rig.call("/api/cmd/query");
    EXPECT_EQ(reply, c.error.empty() ? ok_reply() : error_reply(c.error));
    // One line per call, whatever the attempts did.
    EXPECT_THAT(rig.drain(), ElementsAre(kQueryTx));

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
  run_option_cases(kDataProps, Option::WithoutResponse, Option::WithResponse,
                   {
                       {"first succeeds", S::Success, S::AccessDenied, "", 1},
                       {"unreachable, then success", S::Unreachable, S::Success, "", 2},
                       {"both refused: the second status", S::Unreachable, S::AccessDenied,
                        "status GattCommunicationStatus(3)", 2},
                       {"both fail: the second error", fail("radio gone"), fail("still gone"), "still gone", 2},
                       {"error, then protocol error", fail("radio gone"), S::ProtocolError,
                        "status GattCommunicationStatus(2)", 2},
                       {"refused, then error", S::ProtocolError, fail("late"), "late", 2},
                   });
}

TEST(WritePath, WithResponsePreferredWhenTheCharacteristicHasNoWriteWithoutResponse) {
  using S = ble::GattStatus;
  run_option_cases(ble::kPropWrite | ble::kPropNotify, Option::WithResponse, Option::WithoutResponse,
                   {
                       {"first succeeds", S::Success, S::Success, "", 1},
                       {"error, then success", fail("busy"), S::Success, "", 2},
                       {"error, then unreachable", fail("busy"), S::Unreachable, "status GattCommunicationStatus(1)",
                        2},
                   });
}

TEST(WritePath, BufferFailureEndsTheWriteAtOnce) {
  Rig rig(quiet_timings());
  auto chair = connect_quiet_chair(rig, kDataProps);
  const size_t before = chair.chars[0]->writes().size();
  rig.fake->set_buffer_error("out of buffers");
  EXPECT_EQ(rig.call("/api/cmd/raw?hex=55aa"), error_reply("out of buffers"));
  EXPECT_THAT(rig.drain(), ElementsAre("log:TX: 55 AA"));
  EXPECT_EQ(chair.chars[0]->writes().size(), before);
}

TEST(WritePath, NotReadyOrNoCharacteristicRefusesWithoutLogging) {
  Rig rig(quiet_timings());
  auto chair = add_data_chair(*rig.fake);
  auto& state = rig.state();
  const Bytes frame = ble::query_frame();

  EXPECT_EQ(ble::write_frame(state, frame).error(), "not connected or characteristic not found");
  {
    // Open and ready, but nothing to write to.
    std::lock_guard lock(state.link.mutex);
    state.link.open = true;
    state.link.ready = true;
  }
  EXPECT_EQ(ble::write_frame(state, frame).error(), "not connected or characteristic not found");
  EXPECT_THAT(rig.drain(), IsEmpty());

  // Without a write characteristic the frames go to the notifying one.
  {
    std::lock_guard lock(state.link.mutex);
    state.link.notifyChar = chair.chars[0];
  }
  EXPECT_TRUE(ble::write_frame(state, frame).ok());
  EXPECT_THAT(rig.drain(), ElementsAre(kQueryTx));
  ASSERT_EQ(chair.chars[0]->writes().size(), 1u);
  EXPECT_EQ(chair.chars[0]->writes()[0].bytes, frame);
  EXPECT_EQ(chair.chars[0]->writes()[0].option, Option::WithResponse);
}

// Arguments as the platform could hand them over, read failures included.
class Args final : public ble::ValueChangedArgs {
 public:
  explicit Args(Result<ble::BufferPtr> value) : value_(std::move(value)) {}
  Result<ble::BufferPtr> characteristic_value() override { return value_; }

 private:
  Result<ble::BufferPtr> value_;
};
std::shared_ptr<Args> args_of(const Bytes& bytes) {
  return std::make_shared<Args>(ble::BufferPtr(std::make_shared<ble::ByteBuffer>(bytes)));
}

TEST(Notifications, SeveralReportsInOneNotificationCountOnce) {
  Rig rig(quiet_timings());
  auto chair = connect_quiet_chair(rig, kDataProps);
  auto& state = rig.state();
  const Bytes first = full_report({1, 0, 0, 0, 0, 20, 0x01});
  const Bytes second = full_report({2, 0, 0, 0, 0, 21, 0x31});
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());

  const uint64_t counter = state.statusCounter.load();
  chair.chars[0]->notify(both);
  EXPECT_THAT(rig.drain(), ElementsAre("log:RX: " + hex(first), "log:RX: " + hex(second), "chair:" + hex(second)));
  EXPECT_EQ(state.statusCounter.load(), counter + 1);
  {
    std::lock_guard lock(state.link.mutex);
    EXPECT_EQ(state.link.lastSwitch, 0x31);
  }

  // A report split over two notifications counts once it is whole.
  const Bytes third = full_report({3, 0, 0, 0, 0, 22, 0x08});
  chair.chars[0]->notify(Bytes(third.begin(), third.begin() + 3));
  EXPECT_EQ(state.statusCounter.load(), counter + 1);
  chair.chars[0]->notify(Bytes(third.begin() + 3, third.end()));
  EXPECT_EQ(state.statusCounter.load(), counter + 2);
  EXPECT_THAT(rig.drain(), ElementsAre("log:RX: " + hex(third), "chair:" + hex(third)));
}

TEST(Notifications, MissingOrUnreadableValuesAndClosedLinks) {
  Rig rig(quiet_timings());
  connect_quiet_chair(rig, kDataProps);
  auto& state = rig.state();
  const uint64_t counter = state.statusCounter.load();

  ble::on_value_changed(state, nullptr);
  ble::on_value_changed(state, std::make_shared<Args>(fail("no value")));
  ble::on_value_changed(state, std::make_shared<Args>(ble::BufferPtr()));
  rig.fake->set_read_error("reader failed");
  ble::on_value_changed(state, args_of(kReport));  // read as no bytes
  rig.fake->set_read_error(std::nullopt);
  EXPECT_THAT(rig.drain(), IsEmpty());
  EXPECT_EQ(state.statusCounter.load(), counter);

  // Bytes that arrive once the link is closed are dropped before decoding.
  EXPECT_EQ(rig.call("/api/disconnect"), ok_reply());
  EXPECT_THAT(rig.drain(), ElementsAre("status:idle", "log:disconnected"));
  ble::on_value_changed(state, args_of(full_report({9, 0, 0, 0, 0, 0, 0})));
  EXPECT_THAT(rig.drain(), IsEmpty());
  EXPECT_EQ(state.statusCounter.load(), counter);
}

TEST(WaitForStatus, AnswerTimeoutAndTeardown) {
  Timings t = quiet_timings();
  t.status_wait = std::chrono::milliseconds(300);
  Rig rig(t);
  auto& state = rig.state();
  auto open_link = [&](uint64_t generation) {
    std::lock_guard lock(state.link.mutex);
    state.link.open = true;
    state.link.generation = generation;
  };
  using Clock = std::chrono::steady_clock;
  auto ms_since = [](Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };

  open_link(7);
  {
    SCOPED_TRACE("a report arrives");
    const uint64_t before = state.statusCounter.load();
    auto start = Clock::now();
    std::thread bump([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      state.statusCounter.fetch_add(1);
    });
    EXPECT_TRUE(ble::wait_for_status(state, 7, before));
    bump.join();
    EXPECT_LT(ms_since(start), 250);
  }
  {
    SCOPED_TRACE("nothing arrives");
    auto start = Clock::now();
    EXPECT_FALSE(ble::wait_for_status(state, 7, state.statusCounter.load()));
    EXPECT_GE(ms_since(start), 300);
  }
  {
    SCOPED_TRACE("another link");
    EXPECT_FALSE(ble::wait_for_status(state, 6, state.statusCounter.load() - 1));
  }
  {
    SCOPED_TRACE("the link is torn down meanwhile");
    auto start = Clock::now();
    auto waiting = std::async(std::launch::async,
                              [&] { return ble::wait_for_status(state, 7, state.statusCounter.load()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ble::teardown(state);
    EXPECT_FALSE(waiting.get());
    EXPECT_LT(ms_since(start), 250);
  }
}

}  // namespace
}  // namespace chair::test::link
