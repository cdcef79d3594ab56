// The Linux backend against the simulated Bluetooth daemon, each test on a private bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/bluez/bluez_platform.h"
#include "ble/bluez/names.h"
#include "ble/protocol/commands.h"
#include "eventually.h"
#include "sim_daemon.h"

namespace chair::ble {
namespace {

using namespace std::chrono_literals;
using namespace bluez;
using test::eventually;
using ::testing::HasSubstr;

constexpr const char* kChair = "C0:FF:EE:01:02:0A";
constexpr uint64_t kChairAddress = 0xC0FFEE01020AULL;
constexpr const char* kPairedChair = "C0:FF:EE:01:02:0B";
constexpr uint64_t kPairedChairAddress = 0xC0FFEE01020BULL;
constexpr const char* kNamelessChair = "C0:FF:EE:01:02:0C";
constexpr uint64_t kNamelessChairAddress = 0xC0FFEE01020CULL;
constexpr uint64_t kPhoneAddress = 0x112233445566ULL;

const std::string kPairedSpec = std::string(kPairedChair) + ",name=TAMRO-P,paired";

// Every advertisement one scan heard, by address: how many, and the latest.
class AdvertisementLog {
 public:
  AdvertisementHandler handler() {
    return [this](const Advertisement& advertisement) {
      std::lock_guard lock(mutex_);
      auto& [count, last] = seen_[advertisement.address];
      ++count;
      last = advertisement;
    };
  }
  std::optional<Advertisement> get(uint64_t address) {
    std::lock_guard lock(mutex_);
    auto it = seen_.find(address);
    if (it == seen_.end()) return std::nullopt;
    return it->second.second;
  }
  int count(uint64_t address) {
    std::lock_guard lock(mutex_);
    auto it = seen_.find(address);
    return it == seen_.end() ? 0 : it->second.first;
  }

 private:
  std::mutex mutex_;
  std::map<uint64_t, std::pair<int, Advertisement>> seen_;
};

// Notified values of one subscription.
class ValueLog {
 public:
  NotificationHandler handler() {
    return [this](std::span<const uint8_t> value) {
      std::lock_guard lock(mutex_);
      values_.emplace_back(value.begin(), value.end());
    };
  }
  size_t size() {
    std::lock_guard lock(mutex_);
    return values_.size();
  }
  std::vector<uint8_t> last() {
    std::lock_guard lock(mutex_);
    return values_.empty() ? std::vector<uint8_t>{} : values_.back();
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> values_;
};

struct Link {
  ConnectionPtr connection;
  std::vector<GattCharacteristic> characteristics;  // of every service, in list order
  std::optional<GattCharacteristic> data;
};

std::string uuid_text(const std::optional<Uuid>& uuid) { return uuid ? uuid->to_string() : "?"; }

class BluezBackend : public ::testing::Test {
 protected:
  void SetUp() override { setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_.bus_address().c_str(), 1); }

  // Short announce interval so that discovery results arrive quickly.
  void start_sim(std::vector<std::string> args) {
    args.insert(args.begin(), {"--announce-interval", "100"});
    sim_args_ = args;
    ASSERT_NO_THROW(daemon_.start(args));
  }
  void restart_sim() {
    daemon_.stop();
    ASSERT_NO_THROW(daemon_.start(sim_args_));
  }
  std::string ctl(const std::vector<std::string>& args) { return daemon_.ctl(args); }
  bool adapter_discovering() { return daemon_.adapter_flag(kDiscovering).value_or(false); }
  bool device_connected(const char* address) {
    return daemon_.flag(device_path(kSimAdapterPath, address), kDeviceIface, kConnected).value_or(false);
  }
  bool data_characteristic_notifying() {
    auto root = sdbus::createProxy(daemon_.connection(), kBluezService, kRootPath);
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> objects;
    root->callMethod(kGetManagedObjects).onInterface(kObjectManagerIface).storeResultsTo(objects);
    for (auto& [path, interfaces] : objects) {
      auto it = interfaces.find(kGattCharacteristicIface);
      if (it != interfaces.end() && it->second[kUuid].get<std::string>() == kDataCharacteristicUuid) {
        return it->second[kNotifying].get<bool>();
      }
    }
    return false;
  }

  // Open, services and characteristics: the handshake's platform steps. With `expect` false a
  // failed step only leaves `data` empty, as a retried attempt would.
  Link open_link(uint64_t address, bool expect = true) {
    Link link;
    auto check = [&](bool ok, const std::string& what) {
      if (expect) {
        EXPECT_TRUE(ok) << what;
      }
      return ok;
    };
    auto connection = platform_->open(address);
    if (!check(connection.ok(), connection.ok() ? "" : connection.error())) return link;
    link.connection = *connection;
    auto services = link.connection->services();
    if (!check(services.ok(), services.ok() ? "" : services.error())) return link;
    for (const auto& service : *services) {
      auto chars = link.connection->characteristics(service);
      if (!check(chars.ok(), chars.ok() ? "" : chars.error())) continue;
      for (const auto& c : *chars) {
        link.characteristics.push_back(c);
        if (uuid_text(c.uuid) == kDataCharacteristicUuid) link.data = c;
      }
    }
    return link;
  }

  WriteResult write(const Link& link, const std::vector<uint8_t>& bytes, WriteOption option) {
    return link.connection->write(*link.data, bytes, option);
  }

  static bool connected(const ConnectionPtr& connection) {
    auto state = connection->connected();
    return state && *state;
  }

  // Declared in this order so that the platform goes first, then the simulator and its bus.
  test::SimulatedDaemon daemon_{{}, false};
  std::vector<std::string> sim_args_;
  PlatformPtr platform_ = make_bluez_platform();
};

// The service starts before the bus or the daemon may be there; the backend must fail cleanly
// and quickly, and work as soon as the daemon appears.
TEST_F(BluezBackend, AvailabilityFollowsTheBusTheDaemonAndThePower) {
  using State = Availability::State;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/chair-test-bus", 1);
  auto start = std::chrono::steady_clock::now();
  auto no_bus = platform_->availability();
  EXPECT_EQ(no_bus.state, State::NoAdapter);
  EXPECT_FALSE(no_bus.detail.empty());

  setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_.bus_address().c_str(), 1);
  auto no_daemon = platform_->availability();
  EXPECT_EQ(no_daemon.state, State::NoAdapter);
  EXPECT_THAT(no_daemon.detail, HasSubstr("[org.freedesktop.DBus.Error.ServiceUnknown]"));
  auto connection = platform_->open(kChairAddress);
  ASSERT_FALSE(connection);
  EXPECT_THAT(connection.error(), HasSubstr("ServiceUnknown"));
  EXPECT_FALSE(platform_->paired_device_names());
  EXPECT_FALSE(platform_->start_scan([](const Advertisement&) {}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

  start_sim({"--chair", kPairedSpec});
  EXPECT_EQ(platform_->availability().state, State::Ready);
  auto known = platform_->open(kPairedChairAddress);
  ASSERT_TRUE(known) << known.error();
  EXPECT_EQ((*known)->name().value(), "TAMRO-P");

  ctl({"power", "off"});
  EXPECT_EQ(platform_->availability().state, State::RadioOff);
  // Discovery cannot start on a switched-off adapter; the daemon's error is the text.
  auto scan = platform_->start_scan([](const Advertisement&) {});
  ASSERT_FALSE(scan);
  EXPECT_THAT(scan.error(), HasSubstr("[org.bluez.Error.NotReady]"));
}

// Switching the adapter off ends the daemon's discovery sessions; a scan still running hears
// devices again once the adapter is back on, and stopping it then ends the discovery.
TEST_F(BluezBackend, RunningScanResumesAfterThePowerCycle) {
  start_sim({"--chair", std::string(kChair) + ",name=TAMRO-X1"});
  AdvertisementLog log;
  auto scan = platform_->start_scan(log.handler());
  ASSERT_TRUE(scan) << scan.error();
  ASSERT_TRUE(eventually([&] { return log.count(kChairAddress) > 0; }));

  for (int cycle = 0; cycle < 2; ++cycle) {
    ctl({"power", "off"});
    ASSERT_TRUE(eventually([&] { return !adapter_discovering(); })) << "cycle " << cycle;
    ctl({"power", "on"});
    ASSERT_TRUE(eventually([&] { return adapter_discovering(); })) << "cycle " << cycle;
    const int before = log.count(kChairAddress);
    EXPECT_TRUE(eventually([&] { return log.count(kChairAddress) > before + 2; })) << "cycle " << cycle;
  }

  (*scan)->stop();
  EXPECT_TRUE(eventually([&] { return !adapter_discovering(); }));
}

TEST_F(BluezBackend, ScansHearEveryAdvertisingDevice) {
  start_sim({"--chair", std::string(kChair) + ",name=TAMRO-X1", "--chair", kPairedSpec, "--chair", kNamelessChair,
             "--device", "11:22:33:44:55:66,name=Phone"});
  AdvertisementLog first, second;
  auto s1 = platform_->start_scan(first.handler());
  ASSERT_TRUE(s1) << s1.error();
  // A second scan shares the running discovery instead of failing to start another.
  auto s2 = platform_->start_scan(second.handler());
  ASSERT_TRUE(s2) << s2.error();

  ASSERT_TRUE(eventually([&] {
    return first.count(kChairAddress) && first.count(kPairedChairAddress) && first.count(kNamelessChairAddress) &&
           first.count(kPhoneAddress) && second.count(kChairAddress);
  }));
  auto chair = first.get(kChairAddress).value();
  EXPECT_EQ(chair.local_name, "TAMRO-X1");
  ASSERT_TRUE(chair.rssi);
  EXPECT_LT(*chair.rssi, 0);
  ASSERT_EQ(chair.service_uuids.size(), 1u);
  EXPECT_EQ(chair.service_uuids[0].to_string(), "0000fff0-0000-1000-8000-00805f9b34fb");
  EXPECT_THAT(chair.company_ids, ::testing::ElementsAre(0xFFFF));
  EXPECT_EQ(first.get(kNamelessChairAddress)->local_name, std::nullopt);
  EXPECT_EQ(first.get(kPhoneAddress)->local_name, "Phone");
  EXPECT_TRUE(first.get(kPhoneAddress)->service_uuids.empty());

  // Only paired devices are listed, keyed by the address without separators.
  auto names = platform_->paired_device_names();
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, (PairedNames{{"C0FFEE01020B", "TAMRO-P"}}));

  // Stopping one scan leaves the other one hearing devices.
  (*s1)->stop();
  int before = second.count(kChairAddress);
  EXPECT_TRUE(eventually([&] { return second.count(kChairAddress) > before + 2; }));
  EXPECT_TRUE(adapter_discovering());

  s2->reset();  // dropping a scan stops it
  EXPECT_TRUE(eventually([&] { return !adapter_discovering(); }));
  int after_stop = first.count(kChairAddress) + second.count(kChairAddress);
  std::this_thread::sleep_for(400ms);  // four announce intervals
  EXPECT_EQ(first.count(kChairAddress) + second.count(kChairAddress), after_stop);
}

TEST_F(BluezBackend, DevicesAreFoundByAddress) {
  start_sim({"--chair", std::string(kChair) + ",name=TAMRO-X1", "--chair", kPairedSpec, "--chair", kNamelessChair});
  // Known from the start: no discovery needed.
  auto paired = platform_->open(kPairedChairAddress);
  ASSERT_TRUE(paired) << paired.error();
  EXPECT_EQ((*paired)->name().value(), "TAMRO-P");
  EXPECT_FALSE(adapter_discovering());

  // Only advertising: found by a short discovery, which ends afterwards; opening it asks for
  // the link.
  auto chair = platform_->open(kChairAddress);
  ASSERT_TRUE(chair) << chair.error();
  EXPECT_EQ((*chair)->name().value(), "TAMRO-X1");
  EXPECT_TRUE(eventually([&] { return device_connected(kChair); }));
  EXPECT_TRUE(eventually([&] { return !adapter_discovering(); }));

  // The daemon's stand-in alias (the address with '-') is no name.
  auto nameless = platform_->open(kNamelessChairAddress);
  ASSERT_TRUE(nameless) << nameless.error();
  EXPECT_FALSE((*nameless)->name());

  auto unknown = platform_->open(0x010203040506ULL);
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error(), "device 01:02:03:04:05:06 not found");
  EXPECT_TRUE(eventually([&] { return !adapter_discovering(); }));
}

struct LayoutCase {
  const char* layout;
  std::vector<std::pair<std::string, uint32_t>> characteristics;  // UUID, property bits, in handle order
};

TEST_F(BluezBackend, ServicesAndCharacteristicsFollowTheChairLayout) {
  const std::vector<LayoutCase> cases = {
      {"normal",
       {{std::string(kDataCharacteristicUuid), kPropRead | kPropWriteWithoutResponse | kPropWrite | kPropNotify}}},
      {"indicate-only", {{std::string(kDataCharacteristicUuid), kPropRead | kPropWrite | kPropIndicate}}},
      {"write-only-with-notifier",
       {{std::string(kDataCharacteristicUuid), kPropWriteWithoutResponse | kPropWrite},
        {"0000fff1-0000-1000-8000-00805f9b34fb", kPropNotify}}},
  };
  start_sim({"--chair", kPairedSpec});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    ctl({"layout", kPairedChair, c.layout});
    Link link = open_link(kPairedChairAddress);
    std::vector<std::pair<std::string, uint32_t>> got;
    for (const auto& ch : link.characteristics) got.emplace_back(uuid_text(ch.uuid), ch.properties);
    EXPECT_EQ(got, c.characteristics);
    ASSERT_TRUE(link.connection);
    link.connection->close();
    EXPECT_FALSE(link.connection->connected()) << "a closed connection answers nothing";
    ASSERT_TRUE(eventually([&] { return !device_connected(kPairedChair); }));
  }
}

// The paired chair opened and its characteristics listed.
class PairedChairLink : public BluezBackend {
 protected:
  void SetUp() override {
    BluezBackend::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_sim({"--chair", kPairedSpec}));
    link_ = open_link(kPairedChairAddress);
    ASSERT_TRUE(link_.data);
  }
  Link link_;
};

TEST_F(PairedChairLink, QueriesAreAnsweredByNotificationToTheNewestSubscription) {
  ValueLog replaced, values;
  ASSERT_TRUE(link_.connection->subscribe(*link_.data, Subscription::Notify, replaced.handler()));
  auto subscribed = link_.connection->subscribe(*link_.data, Subscription::Notify, values.handler());
  ASSERT_TRUE(subscribed) << subscribed.error();
  EXPECT_EQ(*subscribed, GattStatus::Success);

  for (auto option : {WriteOption::WithResponse, WriteOption::WithoutResponse}) {
    size_t before = values.size();
    auto written = write(link_, query_frame(), option);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(*written, GattStatus::Success);
    ASSERT_TRUE(eventually([&] { return values.size() > before; }));
    auto answer = values.last();
    ASSERT_GE(answer.size(), 3u);
    EXPECT_EQ(answer.front(), 0x55);
    EXPECT_EQ(answer.back(), 0xAA);
  }
  EXPECT_EQ(replaced.size(), 0u);
  auto writes = ctl({"writes", kPairedChair});
  EXPECT_THAT(writes, HasSubstr("request "));
  EXPECT_THAT(writes, HasSubstr("command "));
}

TEST_F(PairedChairLink, WriteErrorsAreTheDaemonsTexts) {
  ctl({"refuse-writes", kPairedChair, "org.bluez.Error.NotPermitted", "Write not permitted"});
  auto refused = write(link_, query_frame(), WriteOption::WithResponse);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "[org.bluez.Error.NotPermitted] Write not permitted");
  ctl({"accept-writes", kPairedChair});
  // A command must fit one packet (MTU 23 less the 3-byte header).
  auto too_long = write(link_, std::vector<uint8_t>(21, 0x11), WriteOption::WithoutResponse);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error(), "[org.bluez.Error.Failed] Failed to initiate write");
}

TEST_F(PairedChairLink, ClosingEndsTheNotifySession) {
  ValueLog values;
  ASSERT_TRUE(link_.connection->subscribe(*link_.data, Subscription::Notify, values.handler()));
  ASSERT_TRUE(eventually([&] { return data_characteristic_notifying(); }));
  link_.connection->close();
  EXPECT_TRUE(eventually([&] { return !data_characteristic_notifying(); }));
}

TEST_F(BluezBackend, ConcurrentWritesToOneCharacteristicAreSerialized) {
  start_sim({"--write-delay", "50", "--chair", kPairedSpec});
  Link link = open_link(kPairedChairAddress);
  ASSERT_TRUE(link.data);
  // The daemon refuses a request while another is pending on the same characteristic.
  std::vector<std::thread> writers;
  std::mutex mutex;
  std::vector<std::string> errors;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&] {
      auto written = write(link, query_frame(), WriteOption::WithResponse);
      std::lock_guard lock(mutex);
      if (!written) errors.push_back(written.error());
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST_F(PairedChairLink, ConnectionFollowsTheLink) {
  Link& link = link_;
  EXPECT_TRUE(connected(link.connection));

  // The chair goes away: the kept connection cannot be restored.
  ctl({"drop", kPairedChair});
  ASSERT_TRUE(eventually([&] { return !connected(link.connection); }));
  auto failed_write = write(link, query_frame(), WriteOption::WithResponse);
  ASSERT_FALSE(failed_write);
  EXPECT_THAT(failed_write.error(), HasSubstr("Not connected"));
  EXPECT_FALSE(link.connection->services());

  // Back in range: the next services call connects again.
  ctl({"present", kPairedChair});
  ASSERT_TRUE(eventually([&] { return link.connection->services().ok(); }, 15s));
  EXPECT_TRUE(connected(link.connection));
  EXPECT_TRUE(write(link, query_frame(), WriteOption::WithResponse));
}

TEST_F(PairedChairLink, ClosingTheLastConnectionDisconnects) {
  Link& link = link_;
  ASSERT_TRUE(connected(link.connection));

  // A newer connection to the same chair (a reconnect) keeps the link when the older one closes.
  auto newer = platform_->open(kPairedChairAddress);
  ASSERT_TRUE(newer) << newer.error();
  link.connection->close();
  std::this_thread::sleep_for(500ms);  // longer than the simulated disconnection
  EXPECT_TRUE(connected(*newer));

  // Dropping the last reference closes it.
  newer->reset();
  EXPECT_TRUE(eventually([&] { return !device_connected(kPairedChair); }));
}

// A close from another thread ends a call that waits for the link, instead of leaving the
// caller to its timeout.
TEST_F(BluezBackend, CloseEndsAWaitForServices) {
  start_sim({"--connect-delay", "5000", "--chair", kPairedSpec});
  auto connection = platform_->open(kPairedChairAddress);
  ASSERT_TRUE(connection) << connection.error();
  std::thread closer([&] {
    std::this_thread::sleep_for(200ms);
    (*connection)->close();
  });
  const auto start = std::chrono::steady_clock::now();
  auto services = (*connection)->services();
  closer.join();
  ASSERT_FALSE(services);
  EXPECT_EQ(services.error(), "the connection is closed");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(PairedChairLink, DaemonRestartFailsOpenLinksUntilReconnected) {
  Link& old_link = link_;
  ValueLog old_values;
  ASSERT_TRUE(old_link.connection->subscribe(*old_link.data, Subscription::Notify, old_values.handler()));

  daemon_.stop();
  ASSERT_TRUE(eventually([&] { return !old_link.connection->connected(); }));
  EXPECT_FALSE(write(old_link, query_frame(), WriteOption::WithResponse));
  auto availability = platform_->availability();
  EXPECT_EQ(availability.state, Availability::State::NoAdapter);
  EXPECT_THAT(availability.detail, HasSubstr("ServiceUnknown"));

  restart_sim();
  // The old handle stays failed even though the new daemon has an object at the same path.
  auto services = old_link.connection->services();
  ASSERT_FALSE(services);
  EXPECT_EQ(services.error(), "the Bluetooth service restarted; the link is lost");
  EXPECT_FALSE(old_link.connection->connected());
  EXPECT_FALSE(write(old_link, query_frame(), WriteOption::WithResponse));

  // What the supervisor does: tear down and connect again, on its next pass when an attempt
  // still meets the restart being taken in (on a busy machine the backend may learn of the
  // new daemon only after the first attempt has begun).
  old_link = Link{};
  Link link;
  for (int attempt = 0; attempt < 4 && !link.data; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(500ms);
    link = open_link(kPairedChairAddress, false);
  }
  ASSERT_TRUE(link.data);
  ValueLog values;
  ASSERT_TRUE(link.connection->subscribe(*link.data, Subscription::Notify, values.handler()));
  ASSERT_TRUE(write(link, query_frame(), WriteOption::WithResponse));
  EXPECT_TRUE(eventually([&] { return values.size() > 0; }));
  EXPECT_TRUE(connected(link.connection));
  EXPECT_EQ(old_values.size(), 0u) << "the old link hears nothing of the new daemon";
}

}  // namespace
}  // namespace chair::ble
