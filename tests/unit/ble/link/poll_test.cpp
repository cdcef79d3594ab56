// The status poll: link loss after three failed polls in a row, thermal re-assertion, and
// workers of closed or replaced links ending quietly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "ble/protocol/commands.h"
#include "link_fixture.h"

namespace chair::test::link {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Not;

const Bytes kReport = full_report({3, 0, 2, 5, 4, 30, 0x18});
const std::string kQueryTx = "log:TX: 55 01 0A 02 00 09 AA";

std::vector<std::string> poll_lines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (l.rfind("log:status poll", 0) == 0 || l.rfind("status:", 0) == 0) out.push_back(l);
  }
  return out;
}

struct PollRun {
  const char* name;
  // Which queries the chair answers (1 is the handshake's); may script the characteristic.
  std::function<bool(int, FakeCharacteristic&)> answer;
  std::vector<std::string> expected;  // poll messages and status events up to the loss
  int queries;                        // query frames written in all; 0: not counted
};

void PrintTo(const PollRun& r, std::ostream* os) { *os << r.name; }

class PollFailures : public ::testing::TestWithParam<PollRun> {};

TEST_P(PollFailures, OnlyTheFirstFailureOfARunIsLoggedAndThreeEndTheLink) {
  const PollRun& run = GetParam();
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  FakeCharacteristic& data = *chair.chars[0];
  answer_queries(chair, kReport, [&data, answer = run.answer](int n) { return answer(n, data); });

  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  auto lines = rig.events.until("status:idle");
  EXPECT_EQ(poll_lines(lines), run.expected);
  EXPECT_EQ(lines[lines.size() - 2], "log:status poll failed; reconnecting");
  if (run.queries) {
    EXPECT_EQ(count_writes(chair.chars[0], ble::query_frame()), run.queries);
  }
  EXPECT_EQ(chair.device->closes(), 1);
  EXPECT_EQ(rig.phase(), ble::LinkPhase::Closed);
}

INSTANTIATE_TEST_SUITE_P(
    Poll, PollFailures,
    ::testing::Values(PollRun{"ChairGoesSilent",
                              [](int n, FakeCharacteristic&) { return n <= 3; },
                              {"log:status poll timeout", "log:status poll failed; reconnecting", "status:idle"},
                              6},
                      // Polls 2 and 3 time out, poll 4 is answered, 5 to 7 time out.
                      PollRun{"AnAnswerResetsTheCount",
                              [](int n, FakeCharacteristic&) { return n <= 2 || n == 5; },
                              {"log:status poll timeout", "log:status poll timeout",
                               "log:status poll failed; reconnecting", "status:idle"},
                              8},
                      PollRun{"WriteFailuresCountToo",
                              [](int n, FakeCharacteristic& data) {
                                if (n == 2) {
                                  data.set_write_result(ble::WriteOption::WithoutResponse, fail("link gone"));
                                  data.set_write_result(ble::WriteOption::WithResponse, fail("link gone"));
                                }
                                return true;
                              },
                              {"log:status poll write failed: link gone", "log:status poll failed; reconnecting",
                               "status:idle"},
                              0},
                      // A run may mix both kinds; only its first failure is logged.
                      PollRun{"MixedRun",
                              [](int n, FakeCharacteristic& data) {
                                if (n == 3) {
                                  data.set_write_result(ble::WriteOption::WithoutResponse, fail("link gone"));
                                  data.set_write_result(ble::WriteOption::WithResponse, fail("link gone"));
                                }
                                return n <= 2;
                              },
                              {"log:status poll timeout", "log:status poll failed; reconnecting", "status:idle"},
                              0}),
    [](const ::testing::TestParamInfo<PollRun>& info) { return info.param.name; });

// The frames written to the data characteristic from index `from` on.
std::vector<Bytes> writes_from(const FakeCharacteristicPtr& c, size_t from) {
  std::vector<Bytes> out;
  auto all = c->writes();
  for (size_t i = from; i < all.size(); ++i) out.push_back(all[i].bytes);
  return out;
}

// A chair that answers every query, connected and past its initial settings (cooling on).
FakeChair connect_answering_chair(LinkRig& rig) {
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  EXPECT_TRUE(rig.connect());
  rig.events.until("log:TX: 55 06 0A 02 03 0D AA");
  return chair;
}

long queries_since(const FakeCharacteristicPtr& c, size_t from) {
  auto w = writes_from(c, from);
  return std::count(w.begin(), w.end(), ble::query_frame());
}

TEST(Poll, EveryBeatReassertsTheLastThermalLevel) {
  LinkRig rig;
  auto chair = connect_answering_chair(rig);
  auto& data = chair.chars[0];
  const Bytes query = ble::query_frame();

  const size_t mark = data->writes().size();
  EXPECT_TRUE(rig.link->send_level(ble::kHot, 4).ok());
  ASSERT_TRUE(eventually([&] { return queries_since(data, mark) >= 2; }));
  // Every poll is preceded by the thermal switch and the heating level.
  auto w = writes_from(data, mark);
  auto second_query = std::find(std::find(w.begin(), w.end(), query) + 1, w.end(), query);
  ASSERT_GE(second_query - w.begin(), 3);
  EXPECT_THAT(std::vector<Bytes>(second_query - 2, second_query + 1),
              ElementsAre(ble::switch_frame(0x40), *ble::level_frame(ble::kHot, 4), query));
}

TEST(Poll, WaterOffEndsTheReassertion) {
  LinkRig rig;
  auto chair = connect_answering_chair(rig);
  auto& data = chair.chars[0];
  const Bytes off = ble::switch_frame(0x04), query = ble::query_frame();

  const size_t mark = data->writes().size();
  EXPECT_TRUE(rig.link->send_switch(0x04).ok());
  ASSERT_TRUE(eventually([&] { return queries_since(data, mark) >= 4; }));
  // A beat under way may still finish its re-assertion; from the next one on only queries.
  auto w = writes_from(data, mark);
  auto switched = std::find(w.begin(), w.end(), off);
  ASSERT_NE(switched, w.end());
  auto first_query = std::find(switched, w.end(), query);
  ASSERT_NE(first_query, w.end());
  for (auto it = first_query; it != w.end(); ++it) EXPECT_EQ(*it, query);
  EXPECT_FALSE(rig.link->thermal().active);
}

TEST(Poll, TeardownEndsTheWorkerSilently) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  ASSERT_TRUE(eventually([&] { return count_writes(chair.chars[0], ble::query_frame()) >= 2; }));

  rig.link->teardown();
  const size_t writes = chair.chars[0]->writes().size();

  // Three beats later nothing more has been written or said.
  EXPECT_FALSE(rig.events.wait_line("log:status poll failed; reconnecting", 700ms));
  EXPECT_EQ(chair.chars[0]->writes().size(), writes);
  EXPECT_EQ(chair.chars[0]->handlers_active(), 0);
  EXPECT_EQ(chair.device->closes(), 1);
}

TEST(Poll, AReplacedLinksWorkerStops) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  rig.events.until("log:applying init config...");

  // One worker polls every 200 ms; two would double the rate. Over a second at most about
  // five beats (a slow machine only gives fewer).
  const auto before = count_writes(chair.chars[0], ble::query_frame());
  std::this_thread::sleep_for(1s);
  const auto polls = count_writes(chair.chars[0], ble::query_frame()) - before;
  EXPECT_LE(polls, 6);
  EXPECT_GE(polls, 1);
  EXPECT_TRUE(rig.link->is_current(2));
}

// The service's own beat: a query about every 2 s, and nothing logged by the poll itself.
TEST(PollRealTime, OneQueryEveryTwoSeconds) {
  LinkRig rig(ble::LinkTimings{});
  auto chair = add_data_chair(*rig.fake);
  auto times = QueryTimes::attach(chair, kReport, true);
  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  // The handshake's query, then two beats.
  ASSERT_TRUE(eventually([&] { return times->count() >= 3; }, 8s));
  EXPECT_THAT(rig.events.drain(), Not(Contains(::testing::StartsWith("log:status poll"))));
  EXPECT_GE(times->gap_ms(2), 1950);
  EXPECT_LE(times->gap_ms(2), 2800);
}

}  // namespace
}  // namespace chair::test::link
