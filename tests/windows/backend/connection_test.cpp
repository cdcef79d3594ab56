// A chair opened through the backend against the fake runtime: the open, discovery as the
// handshake walks it, the subscription, writes and the chair's answers, link loss, and the
// two ways a link ends.
#include <gmock/gmock.h>

#include <atomic>
#include <future>

#include "backend_rig.h"
#include "ble/protocol/frame.h"

namespace chair::test {
namespace {

using ble::GattStatus;
using ble::Subscription;
using ble::WriteOption;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const Bytes kQuery{0x55, 0x01, 0x0A, 0x02, 0x00, 0x09, 0xAA};
const Bytes kCold5{0x55, 0x02, 0x0A, 0x02, 0x05, 0x0F, 0xAA};
const Bytes kLumbar3{0x55, 0x06, 0x0A, 0x02, 0x03, 0x0D, 0xAA};

std::string uuid_of(const ble::GattCharacteristic& c) { return c.uuid ? c.uuid->to_string() : "?"; }

// The chair open, with what discovery found.
struct OpenChair {
  ble::ConnectionPtr link;
  std::vector<ble::GattCharacteristic> characteristics;

  const ble::GattCharacteristic& by_uuid(const std::string& uuid) const {
    for (const auto& c : characteristics) {
      if (uuid_of(c) == uuid) return c;
    }
    throw std::runtime_error("no characteristic " + uuid);
  }
  const ble::GattCharacteristic& data() const { return by_uuid(kDataUuid); }
};

class Link : public BackendTest {
 protected:
  OpenChair open(const std::string& options = ",name=TAMRO-X1") {
    EXPECT_TRUE(fakert::add_device(kChair + options));
    auto link = platform().open(kChairAddress);
    if (!link) throw std::runtime_error("open: " + link.error());
    auto services = (*link)->services();
    if (!services || services->size() != 1) throw std::runtime_error("no service");
    auto characteristics = (*link)->characteristics(services->front());
    if (!characteristics) throw std::runtime_error("characteristics: " + characteristics.error());
    return {*link, *characteristics};
  }

  // A handler that keeps every notification.
  ble::NotificationHandler keep(Collected<Bytes>& into) {
    return [&into](std::span<const uint8_t> value) { into.add(Bytes(value.begin(), value.end())); };
  }

  static Bytes joined(const std::vector<Bytes>& notes) {
    Bytes all;
    for (const auto& n : notes) all.insert(all.end(), n.begin(), n.end());
    return all;
  }
};

TEST_F(Link, OpenKeepsTheChairConnectedAndCloseLetsItGo) {
  const size_t from = fakert::call_count();
  OpenChair chair = open();
  EXPECT_EQ(
      calls_of(from, {"BluetoothLEDevice.FromBluetoothAddressAsync", "BluetoothLEDevice.get_BluetoothDeviceId",
                      "GattSession."}),
      (std::vector<std::string>{
          "BluetoothLEDevice.FromBluetoothAddressAsync(C0:FF:EE:01:02:0A)", "BluetoothLEDevice.get_BluetoothDeviceId",
          "GattSession.FromDeviceIdAsync(BluetoothLE#BluetoothLE00:1a:7d:da:71:0c-c0:ff:ee:01:02:0a)",
          "GattSession.put_MaintainConnection(true)"}));
  EXPECT_THAT(calls_of(from, {"BluetoothLEDevice.GetGattServices", "GattDeviceService.GetCharacteristics"}),
              ElementsAre("BluetoothLEDevice.GetGattServicesWithCacheModeAsync(Uncached)",
                          "GattDeviceService.GetCharacteristicsWithCacheModeAsync(Uncached)"));
  EXPECT_EQ(chair.link->name().value(), "TAMRO-X1");
  EXPECT_EQ(chair.link->connected().value(), true);
  Collected<Bytes> notes;
  ASSERT_EQ(chair.link->subscribe(chair.data(), Subscription::Notify, keep(notes)).value(), GattStatus::Success);

  const size_t closing = fakert::call_count();
  chair.link->close();
  EXPECT_EQ(
      calls_of(closing, {"GattCharacteristic.remove_ValueChanged", "GattSession.Close", "BluetoothLEDevice.Close"}),
      (std::vector<std::string>{"GattCharacteristic.remove_ValueChanged", "GattSession.Close",
                                "BluetoothLEDevice.Close"}));
  EXPECT_FALSE(fakert::device_connected(kChair)) << "nothing keeps the link any more";
  const size_t after = fakert::call_count();
  chair.link->close();
  EXPECT_EQ(fakert::call_count(), after) << "a second close has nothing left to do";
  for (auto failed : {chair.link->name().ok(), chair.link->connected().ok(),
                      chair.link->write(chair.data(), kQuery, WriteOption::WithResponse).ok()}) {
    EXPECT_FALSE(failed);
  }
  EXPECT_EQ(chair.link->services().error(), "the connection was closed");
}

struct OpenFailure {
  const char* name;
  std::function<void()> fault;
  const char* error;
  friend void PrintTo(const OpenFailure& c, std::ostream* os) { *os << c.name; }
};
class OpenFails : public Link, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFails, WithTheReasonAndNothingHeld) {
  ASSERT_TRUE(fakert::add_device(std::string(kChair) + ",name=TAMRO-X1"));
  GetParam().fault();
  auto link = platform().open(kChairAddress);
  ASSERT_FALSE(link);
  EXPECT_THAT(link.error(), HasSubstr(GetParam().error));
  EXPECT_FALSE(fakert::device_connected(kChair));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenFails,
    ::testing::Values(
        OpenFailure{"unknown_device", [] { fakert::reset(); }, "the operation returned no result"},
        OpenFailure{"device_lookup_fails",
                    [] { fakert::fail_operation("BluetoothLEDevice.FromBluetoothAddressAsync", E_ACCESSDENIED); },
                    "0x80070005"},
        OpenFailure{"no_device_id", [] { fakert::fail_call("BluetoothLEDevice.get_BluetoothDeviceId", E_FAIL); },
                    "0x80004005"},
        OpenFailure{"session_fails", [] { fakert::fail_operation("GattSession.FromDeviceIdAsync", E_ACCESSDENIED); },
                    "0x80070005"},
        OpenFailure{"no_session", [] { fakert::empty_operation("GattSession.FromDeviceIdAsync"); },
                    "the operation returned no result"},
        OpenFailure{"connection_not_kept", [] { fakert::fail_call("GattSession.put_MaintainConnection", E_FAIL); },
                    "0x80004005"}),
    [](const auto& info) { return std::string(info.param.name); });

struct LayoutCase {
  const char* layout;
  std::vector<std::string> characteristics;  // "uuid props"
  friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.layout; }
};
class Discovery : public Link, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Discovery, ListsWhatTheChairOffers) {
  OpenChair chair = open(std::string(",name=TAMRO-X1,layout=") + GetParam().layout);
  std::vector<std::string> found;
  for (const auto& c : chair.characteristics) found.push_back(uuid_of(c) + " " + std::to_string(c.properties));
  EXPECT_EQ(found, GetParam().characteristics);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Discovery,
                         ::testing::Values(LayoutCase{"normal", {"7772e5db-3868-4112-a1a9-f2669d106bf3 30"}},
                                           LayoutCase{"indicate-only", {"7772e5db-3868-4112-a1a9-f2669d106bf3 42"}},
                                           LayoutCase{"write-only-with-notifier",
                                                      {"7772e5db-3868-4112-a1a9-f2669d106bf3 12",
                                                       "0000fff1-0000-1000-8000-00805f9b34fb 16"}},
                                           LayoutCase{"foreign-char", {"0000fff1-0000-1000-8000-00805f9b34fb 26"}},
                                           LayoutCase{"no-data-char", {"0000fff2-0000-1000-8000-00805f9b34fb 2"}}),
                         [](const auto& info) {
                           std::string name = info.param.layout;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST_F(Link, UnreadableCharacteristicFieldsAreLeftOut) {
  fakert::fail_call("GattCharacteristic.get_Uuid", E_FAIL);
  fakert::fail_call("GattCharacteristic.get_CharacteristicProperties", E_FAIL);
  OpenChair chair = open();
  ASSERT_EQ(chair.characteristics.size(), 1u);
  EXPECT_EQ(chair.characteristics[0].uuid, std::nullopt);
  EXPECT_EQ(chair.characteristics[0].properties, 0u);
}

struct AnswerCase {
  const char* layout;
  const char* notifier;
  Subscription kind;
  WriteOption option;
  const char* written;  // how the chair saw the write
  friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.layout; }
};
class Answers : public Link, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(Answers, TheSubscribedCharacteristicCarriesTheChairsReports) {
  OpenChair chair = open(std::string(",name=TAMRO-X1,layout=") + GetParam().layout);
  Collected<Bytes> notes;
  const size_t from = fakert::call_count();
  ASSERT_EQ(chair.link->subscribe(chair.by_uuid(GetParam().notifier), GetParam().kind, keep(notes)).value(),
            GattStatus::Success);
  EXPECT_THAT(calls_of(from, {"GattCharacteristic.add_ValueChanged", "GattCharacteristic.WriteClient"}),
              ElementsAre("GattCharacteristic.add_ValueChanged",
                          std::string("GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorAsync(") +
                              (GetParam().kind == Subscription::Notify ? "Notify" : "Indicate") + ")"));
  ASSERT_EQ(chair.link->write(chair.data(), kQuery, GetParam().option).value(), GattStatus::Success);
  ASSERT_TRUE(notes.wait_for(1));
  EXPECT_EQ(notes.items()[0], sim::ChairModel().full_report());
  EXPECT_THAT(fakert::writes(kChair), ElementsAre(std::string(GetParam().written) + " " + ble::hex_dump(kQuery)));
  chair.link->close();
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Answers,
    ::testing::Values(AnswerCase{"normal", kDataUuid, Subscription::Notify, WriteOption::WithoutResponse, "command"},
                      AnswerCase{"indicate-only", kDataUuid, Subscription::Indicate, WriteOption::WithResponse,
                                 "request"},
                      AnswerCase{"write-only-with-notifier", "0000fff1-0000-1000-8000-00805f9b34fb",
                                 Subscription::Notify, WriteOption::WithoutResponse, "command"}),
    [](const auto& info) {
      std::string name = info.param.layout;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST_F(Link, SplitAndMergedReportsKeepTheirBytesInOrder) {
  OpenChair chair = open(",name=TAMRO-X1,chunking,seed=7");
  Collected<Bytes> notes;
  ASSERT_TRUE(chair.link->subscribe(chair.data(), Subscription::Notify, keep(notes)));
  sim::ChairModel reference;  // the same chair without chunking
  Bytes expected;
  for (const Bytes& frame : {kQuery, kCold5, kLumbar3, kQuery}) {
    ASSERT_EQ(chair.link->write(chair.data(), frame, WriteOption::WithoutResponse).value(), GattStatus::Success);
    for (const auto& answer : reference.on_write(frame)) expected.insert(expected.end(), answer.begin(), answer.end());
  }
  ASSERT_TRUE(eventually([&] { return joined(notes.items()).size() >= expected.size(); }))
      << ble::hex_dump(joined(notes.items()));
  EXPECT_EQ(ble::hex_dump(joined(notes.items())), ble::hex_dump(expected));
  EXPECT_GT(notes.size(), 4u) << "the reports came cut into pieces";
  chair.link->close();
}

struct WriteCase {
  const char* name;
  std::string device;
  std::vector<std::string> control;
  WriteOption option;
  std::optional<GattStatus> status;  // nullopt: an error
  const char* error;
  friend void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }
};
class Writes : public Link, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(Writes, EndWithTheStatusOrTheError) {
  OpenChair chair = open(GetParam().device);
  if (!GetParam().control.empty()) {
    ASSERT_EQ(fakert::control(GetParam().control), "");
  }
  auto written = chair.link->write(chair.data(), kCold5, GetParam().option);
  if (GetParam().status) {
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(*written, *GetParam().status);
  } else {
    ASSERT_FALSE(written);
    EXPECT_THAT(written.error(), HasSubstr(GetParam().error));
  }
  EXPECT_EQ(fakert::writes(kChair).empty(), GetParam().status != GattStatus::Success);
  chair.link->close();
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Writes,
    ::testing::Values(
        WriteCase{"accepted", ",name=T", {}, WriteOption::WithResponse, GattStatus::Success, ""},
        WriteCase{"refused",
                  ",name=T",
                  {"refuse-writes", kChair},
                  WriteOption::WithoutResponse,
                  GattStatus::ProtocolError,
                  ""},
        WriteCase{"access_denied",
                  ",name=T",
                  {"refuse-writes", kChair, "3"},
                  WriteOption::WithResponse,
                  GattStatus::AccessDenied,
                  ""},
        WriteCase{"failed",
                  ",name=T",
                  {"refuse-writes", kChair, "0x80650003"},
                  WriteOption::WithResponse,
                  std::nullopt,
                  "0x80650003"},
        WriteCase{"chair_gone", ",name=T", {"drop", kChair}, WriteOption::WithoutResponse, GattStatus::Unreachable, ""},
        WriteCase{"option_not_offered",
                  ",name=T,layout=indicate-only",
                  {},
                  WriteOption::WithoutResponse,
                  GattStatus::ProtocolError,
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Link, ALostChairIsSeenAndComesBackOnTheSameConnection) {
  OpenChair chair = open();
  Collected<Bytes> notes;
  ASSERT_TRUE(chair.link->subscribe(chair.data(), Subscription::Notify, keep(notes)));

  ASSERT_EQ(fakert::control({"drop", kChair}), "");
  EXPECT_EQ(chair.link->connected().value(), false);
  EXPECT_EQ(chair.link->services().error(), "GattCommunicationStatus(1)");
  EXPECT_EQ(chair.link->write(chair.data(), kQuery, WriteOption::WithoutResponse).value(), GattStatus::Unreachable);

  // The session still asks for the connection: the system brings it back by itself.
  ASSERT_EQ(fakert::control({"present", kChair}), "");
  EXPECT_EQ(chair.link->connected().value(), true);
  ASSERT_EQ(chair.link->subscribe(chair.data(), Subscription::Notify, keep(notes)).value(), GattStatus::Success);
  ASSERT_EQ(chair.link->write(chair.data(), kQuery, WriteOption::WithoutResponse).value(), GattStatus::Success);
  EXPECT_TRUE(notes.wait_for(1));
  EXPECT_EQ(fakert::live_registrations(), 1) << "the renewed subscription replaced the first";
  chair.link->close();
}

struct SubscribeCase {
  const char* name;
  std::function<void()> fault;
  std::optional<GattStatus> status;  // nullopt: an error
  const char* error;
  friend void PrintTo(const SubscribeCase& c, std::ostream* os) { *os << c.name; }
};
class SubscribeFails : public Link, public ::testing::WithParamInterface<SubscribeCase> {};

TEST_P(SubscribeFails, AndTakesItsRegistrationBack) {
  OpenChair chair = open();
  GetParam().fault();
  Collected<Bytes> notes;
  auto subscribed = chair.link->subscribe(chair.data(), Subscription::Notify, keep(notes));
  if (GetParam().status) {
    ASSERT_TRUE(subscribed) << subscribed.error();
    EXPECT_EQ(*subscribed, *GetParam().status);
  } else {
    ASSERT_FALSE(subscribed);
    EXPECT_THAT(subscribed.error(), HasSubstr(GetParam().error));
  }
  EXPECT_EQ(fakert::live_registrations(), 0);
  (void)fakert::control({"present", kChair});
  ASSERT_TRUE(chair.link->write(chair.data(), kQuery, WriteOption::WithoutResponse));
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(notes.size(), 0u);
  chair.link->close();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SubscribeFails,
    ::testing::Values(SubscribeCase{"registration_refused",
                                    [] { fakert::fail_call("GattCharacteristic.add_ValueChanged", E_FAIL); },
                                    std::nullopt, "0x80004005"},
                      SubscribeCase{"descriptor_write_fails",
                                    [] {
                                      fakert::fail_operation(
                                          "GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorAsync",
                                          E_ACCESSDENIED);
                                    },
                                    std::nullopt, "0x80070005"},
                      SubscribeCase{"descriptor_write_unanswered",
                                    [] {
                                      (void)fakert::control({"drop", kChair});
                                    },
                                    GattStatus::Unreachable, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Link, AnUnreadableValueIsSkippedAndOneThatCannotBeCopiedArrivesEmpty) {
  OpenChair chair = open();
  Collected<Bytes> notes;
  ASSERT_TRUE(chair.link->subscribe(chair.data(), Subscription::Notify, keep(notes)));
  fakert::fail_call("GattValueChangedEventArgs.get_CharacteristicValue", E_FAIL);
  ASSERT_TRUE(chair.link->write(chair.data(), kQuery, WriteOption::WithoutResponse));
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(notes.size(), 0u);
  fakert::fail_call("DataReader.FromBuffer", E_FAIL);
  ASSERT_TRUE(chair.link->write(chair.data(), kQuery, WriteOption::WithoutResponse));
  ASSERT_TRUE(notes.wait_for(1));
  EXPECT_EQ(notes.items()[0], Bytes{});
  chair.link->close();
}

TEST_F(Link, ASecondSubscriptionReplacesTheFirst) {
  OpenChair chair = open();
  Collected<Bytes> first, second;
  ASSERT_TRUE(chair.link->subscribe(chair.data(), Subscription::Notify, keep(first)));
  ASSERT_TRUE(chair.link->subscribe(chair.data(), Subscription::Notify, keep(second)));
  EXPECT_EQ(fakert::live_registrations(), 1);
  ASSERT_TRUE(chair.link->write(chair.data(), kQuery, WriteOption::WithoutResponse));
  ASSERT_TRUE(second.wait_for(1));
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(first.size(), 0u);
  chair.link->close();
}

TEST_F(Link, ReleasedWithoutCloseItLeavesTheChairToItsSuccessor) {
  OpenChair old_link = open();
  Collected<Bytes> old_notes, new_notes;
  ASSERT_TRUE(old_link.link->subscribe(old_link.data(), Subscription::Notify, keep(old_notes)));
  auto reopened = platform().open(kChairAddress);
  ASSERT_TRUE(reopened);
  ble::ConnectionPtr new_link = std::move(*reopened);
  auto services = new_link->services();
  ASSERT_TRUE(services);
  auto characteristics = new_link->characteristics(services->front());
  ASSERT_TRUE(characteristics);
  ASSERT_TRUE(new_link->subscribe(characteristics->front(), Subscription::Notify, keep(new_notes)));

  const size_t released = fakert::call_count();
  old_link = {};
  EXPECT_EQ(
      calls_of(released, {"GattCharacteristic.remove_ValueChanged", "GattSession.Close", "BluetoothLEDevice.Close"}),
      std::vector<std::string>{"GattCharacteristic.remove_ValueChanged"});
  EXPECT_TRUE(new_link->connected().value());
  ASSERT_TRUE(new_link->write(characteristics->front(), kQuery, WriteOption::WithoutResponse));
  ASSERT_TRUE(new_notes.wait_for(1));
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(old_notes.size(), 0u) << "every report would reach the chair's receive buffer twice";

  new_link.reset();
  EXPECT_FALSE(fakert::device_connected(kChair)) << "the last session released ends the connection";
}

TEST_F(Link, CloseEndsACallThatIsWaitingAtOnce) {
  OpenChair chair = open();
  fakert::hang_operation("BluetoothLEDevice.GetGattServicesWithCacheModeAsync");
  auto waiting = std::async(std::launch::async, [&] { return chair.link->services(); });
  ASSERT_TRUE(
      eventually([] { return fakert::status_reads("BluetoothLEDevice.GetGattServicesWithCacheModeAsync") > 2; }));
  const auto start = std::chrono::steady_clock::now();
  chair.link->close();
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(waiting.get().error(), "the connection was closed");
}

TEST_F(Link, NoNotificationAfterClose) {
  // Held-back pieces of a chunking chair are still on their way when the link closes.
  OpenChair chair = open(",name=TAMRO-X1,chunking,seed=3");
  std::atomic<bool> closed{false};
  std::atomic<int> late{0};
  ASSERT_TRUE(chair.link->subscribe(chair.data(), Subscription::Notify, [&](std::span<const uint8_t>) {
    if (closed.load()) ++late;
  }));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(chair.link->write(chair.data(), kQuery, WriteOption::WithoutResponse));
  chair.link->close();
  closed = true;
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(late.load(), 0);
}

}  // namespace
}  // namespace chair::test
