// Which characteristics the handshake writes to and subscribes, for the GATT layouts chairs
// come with, and how it fails when a layout does not do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "link_fixture.h"

namespace chair::test::link {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kData(ble::kDataCharacteristicUuid);
const std::string kF1 = "0000fff1-0000-1000-8000-00805f9b34fb";
const std::string kF2 = "0000fff2-0000-1000-8000-00805f9b34fb";
const std::string kF3 = "0000fff3-0000-1000-8000-00805f9b34fb";
constexpr uint32_t R = ble::kPropRead, WNR = ble::kPropWriteWithoutResponse, W = ble::kPropWrite, N = ble::kPropNotify,
                   I = ble::kPropIndicate;

struct Chosen {
  const char* name;
  Layout layout;
  int notify;  // index into the chair's characteristics
  int write;
  std::string write_line;  // "write/notify share one characteristic" or "write characteristic = ..."
  bool without_response;
  bool indicate;
  std::function<void(FakeChair&)> tweak = nullptr;
};

void PrintTo(const Chosen& c, std::ostream* os) { *os << c.name; }

class LayoutChoice : public ::testing::TestWithParam<Chosen> {};

TEST_P(LayoutChoice, SubscribesAndWritesTheChosenCharacteristics) {
  const Chosen& c = GetParam();
  LinkRig rig;
  auto chair = add_chair(*rig.fake, c.layout);
  if (c.tweak) c.tweak(chair);
  answer_queries(chair, full_report({1, 0, 0, 0, 0, 25, 0}));

  EXPECT_TRUE(rig.connect());
  auto lines = rig.events.until("status:connected/TAMRO S1");
  const std::string word = c.indicate ? "indications" : "notifications";
  const std::string mode = c.without_response ? "WriteWithoutResponse" : "WriteWithResponse";
  // These three come one after the other, right before the initial query.
  auto at = std::find(lines.begin(), lines.end(), "log:" + c.write_line);
  ASSERT_NE(at, lines.end()) << "missing " << c.write_line;
  ASSERT_GE(lines.end() - at, 3);
  EXPECT_EQ(at[1], "log:write mode = " + mode);
  EXPECT_EQ(at[2], "log:" + word + " subscribed");

  for (size_t i = 0; i < chair.chars.size(); ++i) {
    SCOPED_TRACE("characteristic " + std::to_string(i));
    const auto& ch = chair.chars[i];
    if (static_cast<int>(i) == c.notify) {
      EXPECT_THAT(ch->subscriptions(),
                  ElementsAre(c.indicate ? ble::Subscription::Indicate : ble::Subscription::Notify));
      EXPECT_EQ(ch->handlers_active(), 1);
    } else {
      EXPECT_THAT(ch->subscriptions(), IsEmpty());
      EXPECT_EQ(ch->handlers_added(), 0);
    }
    if (static_cast<int>(i) == c.write) {
      ASSERT_FALSE(ch->writes().empty());
      EXPECT_EQ(ch->writes()[0].bytes, ble::query_frame());
      EXPECT_EQ(ch->writes()[0].option,
                c.without_response ? ble::WriteOption::WithoutResponse : ble::WriteOption::WithResponse);
    } else {
      EXPECT_THAT(ch->writes(), IsEmpty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutChoice,
    ::testing::Values(Chosen{"DataCharNotifiesAndWrites",
                             {{kServiceUuid, {{kData, N | W}}}},
                             0,
                             0,
                             "write/notify share one characteristic",
                             false,
                             false},
                      Chosen{"BothWriteBitsWriteWithoutResponse",
                             {{kServiceUuid, {{kData, R | WNR | W | N}}}},
                             0,
                             0,
                             "write/notify share one characteristic",
                             true,
                             false},
                      Chosen{"IndicateOnly",
                             {{kServiceUuid, {{kData, W | I}}}},
                             0,
                             0,
                             "write/notify share one characteristic",
                             false,
                             true},
                      Chosen{"NotifyWinsOverIndicate",
                             {{kServiceUuid, {{kData, W | N | I}}}},
                             0,
                             0,
                             "write/notify share one characteristic",
                             false,
                             false},
                      // The data characteristic's own service is searched before the others.
                      Chosen{"WriteOnlyDataCharWithNotifierBesideIt",
                             {{kOtherServiceUuid, {{kF1, N}}}, {kServiceUuid, {{kF2, R | N}, {kData, W}, {kF3, N}}}},
                             1,
                             2,
                             "write characteristic = " + kData,
                             false,
                             false},
                      Chosen{"NotifyOnlyDataCharWithWriterBesideIt",
                             {{kOtherServiceUuid, {{kF1, WNR}}}, {kServiceUuid, {{kData, N}, {kF2, WNR}, {kF3, W}}}},
                             1,
                             2,
                             "write characteristic = " + kF2,
                             true,
                             false},
                      Chosen{"NoDataCharFirstNotifierOfAllServices",
                             {{kOtherServiceUuid, {{kF1, W}}}, {kServiceUuid, {{kF2, N}, {kF3, N | W}}}},
                             1,
                             0,
                             "write characteristic = " + kF1,
                             false,
                             false},
                      // A notifier that can write takes the frames before any other writer.
                      Chosen{"NotifierThatWritesIsTheWriter",
                             {{kServiceUuid, {{kF1, W}, {kF2, N | WNR}}}},
                             1,
                             1,
                             "write/notify share one characteristic",
                             true,
                             false},
                      Chosen{"UnreadableUuidsCountAsShared",
                             {{kServiceUuid, {{kF1, N}, {kF2, W}}}},
                             0,
                             1,
                             "write/notify share one characteristic",
                             false,
                             false,
                             [](FakeChair& chair) {
                               chair.chars[0]->set_uuid_error();
                               chair.chars[1]->set_uuid_error();
                             }},
                      Chosen{"UnreadableWriterUuidIsEmpty",
                             {{kServiceUuid, {{kF1, N}, {kF2, W}}}},
                             0,
                             1,
                             "write characteristic = ",
                             false,
                             false,
                             [](FakeChair& chair) { chair.chars[1]->set_uuid_error(); }}),
    [](const ::testing::TestParamInfo<Chosen>& info) { return info.param.name; });

TEST(LayoutListing, ServiceAndCharacteristicLinesAndListingFailures) {
  LinkRig rig;
  auto chair =
      add_chair(*rig.fake, {{kOtherServiceUuid, {{kF1, R}}},
                            {"0000180f-0000-1000-8000-00805f9b34fb", {{kF2, R}}},
                            {"00001800-0000-1000-8000-00805f9b34fb", {}},
                            {kServiceUuid, {{kF3, R | WNR | W | N | I | ble::kPropBroadcast}, {kData, N | W}}}});
  chair.services[0]->set_characteristics_error("gatt busy");
  chair.services[2]->set_uuid_error();
  answer_queries(chair, full_report({1, 0, 0, 0, 0, 25, 0}));

  EXPECT_TRUE(rig.connect());
  auto lines = rig.events.until("log:write/notify share one characteristic");
  auto from = std::find(lines.begin(), lines.end(), "log:found 4 services");
  ASSERT_NE(from, lines.end());
  EXPECT_EQ(std::vector<std::string>(from, lines.end()),
            (std::vector<std::string>{
                "log:found 4 services",
                "log:  Service 0000180a-0000-1000-8000-00805f9b34fb",
                "log:    discover characteristics failed: gatt busy",
                "log:  Service 0000180f-0000-1000-8000-00805f9b34fb",
                "log:    Char " + kF2 + " props=[Read]",
                "log:  Service 0000fff0-0000-1000-8000-00805f9b34fb",
                "log:    Char " + kF3 + " props=[Read,WriteNoResp,Write,Notify,Indicate]",
                "log:    Char " + kData + " props=[Write,Notify]",
                "log:write/notify share one characteristic",
            }));
  rig.events.until("status:connected/TAMRO S1");
}

struct Failing {
  const char* name;
  Layout layout;
  std::function<void(FakeChair&)> tweak;
  std::string message;
  bool unregisters;  // a handler was added and must be gone again
};

void PrintTo(const Failing& c, std::ostream* os) { *os << c.name; }

class LayoutFailure : public ::testing::TestWithParam<Failing> {};

TEST_P(LayoutFailure, DropsTheLinkWithItsMessage) {
  const Failing& c = GetParam();
  LinkRig rig;
  auto chair = add_chair(*rig.fake, c.layout);
  if (c.tweak) c.tweak(chair);
  answer_queries(chair, full_report({1, 0, 0, 0, 0, 25, 0}));

  EXPECT_TRUE(rig.connect());
  auto lines = rig.events.until("status:idle");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "log:" + c.message);
  EXPECT_THAT(lines, Not(Contains("log:querying initial status...")));
  for (const auto& ch : chair.chars) {
    EXPECT_EQ(ch->handlers_active(), 0);
    EXPECT_THAT(ch->writes(), IsEmpty());
    if (c.unregisters) {
      EXPECT_EQ(ch->handlers_added(), ch->handlers_removed());
    }
  }
  EXPECT_EQ(chair.device->closes(), 1);
  EXPECT_EQ(rig.phase(), ble::LinkPhase::Closed);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutFailure,
    ::testing::Values(Failing{"NoNotifierAtAll",
                              {{kServiceUuid, {{kData, R | W}, {kF1, WNR}}}},
                              nullptr,
                              "BCA4 notify characteristic not found; reconnecting",
                              false},
                      Failing{"NoWriterAtAll",
                              {{kServiceUuid, {{kData, R | N}}}, {kOtherServiceUuid, {{kF1, I}}}},
                              nullptr,
                              "BCA4 write characteristic not found; reconnecting",
                              false},
                      Failing{"SubscriptionFails",
                              {{kServiceUuid, {{kData, W | N}}}},
                              [](FakeChair& c) { c.chars[0]->set_subscribe_result(fail("cccd refused")); },
                              "subscribe notifications failed: cccd refused; reconnecting",
                              true},
                      Failing{"DescriptorWriteRefused",
                              {{kServiceUuid, {{kData, W | I}}}},
                              [](FakeChair& c) { c.chars[0]->set_subscribe_result(ble::GattStatus::AccessDenied); },
                              "subscribe indications failed: GattCommunicationStatus(3); reconnecting",
                              true}),
    [](const ::testing::TestParamInfo<Failing>& info) { return info.param.name; });

}  // namespace
}  // namespace chair::test::link
