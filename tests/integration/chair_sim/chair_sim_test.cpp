// The simulator through the bus, as the service's Bluetooth backend will see it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim_client.h"
#include "sim_options.h"
#include "tools/chair-model/chair_model.h"

namespace chair::test {
namespace {

using namespace std::chrono_literals;

const Bytes kQuery{0x55, 0x01, 0x0A, 0x02, 0x00, 0x09, 0xAA};
const Bytes kCold5{0x55, 0x02, 0x0A, 0x02, 0x05, 0x0F, 0xAA};
const char* const kFreshReport = "55 01 0B 08 00 00 00 00 00 1C 08 16 AA";

const std::string kPairedSpec = std::string(kChairA) + ",name=TAMRO-X1,paired";

auto changed(const std::string& path, const std::string& iface, const std::string& key) {
  return [=](const Sig& s) { return s.path == path && s.changes(iface, key); };
}
auto changed_to(const std::string& path, const std::string& iface, const std::string& key, bool value) {
  return
      [=](const Sig& s) { return s.path == path && s.changes(iface, key) && s.changed.at(key).get<bool>() == value; };
}
auto added(const std::string& object) {
  return [=](const Sig& s) { return s.member == kInterfacesAdded && s.object == object; };
}
auto removed(const std::string& object) {
  return [=](const Sig& s) { return s.member == kInterfacesRemoved && s.object == object; };
}

void connect_and_subscribe(SimFixture& f, const std::string& char_path = kCharPath) {
  ASSERT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect), "");
  ASSERT_TRUE(f.client->wait(changed_to(kChairAPath, kDeviceIface, kServicesResolved, true)));
  ASSERT_EQ(f.client->call(char_path, kCharIface, kStartNotify), "");
  ASSERT_TRUE(f.client->wait(changed_to(char_path, kCharIface, kNotifying, true)));
}

bool wait_values(SimFixture& f, size_t n, const std::string& path = kCharPath) {
  return eventually([&] { return f.client->values(path).size() >= n; }, 3s);
}

TEST(ChairSimOptions, DeviceSpecsParseOrExplainTheMistake) {
  auto spec = sim::parse_device_spec("c0:ff:ee:01:02:0a,name=TAMRO-X1,paired,layout=indicate-only,rssi=-70", true);
  ASSERT_TRUE(spec) << spec.error();
  EXPECT_EQ(spec->address, "C0:FF:EE:01:02:0A");
  EXPECT_EQ(spec->name, "TAMRO-X1");
  EXPECT_TRUE(spec->paired && spec->known && spec->advertising && spec->present);
  EXPECT_EQ(spec->layout, sim::Layout::kIndicateOnly);
  EXPECT_EQ(spec->rssi, -70);
  for (const char* bad : {"C0:FF:EE:01:02", "C0-FF-EE-01-02-0A", "C0:FF:EE:01:02:0A,layout=odd",
                          "C0:FF:EE:01:02:0A,paired=1x", "C0:FF:EE:01:02:0A,rssi=5", "C0:FF:EE:01:02:0G"}) {
    EXPECT_FALSE(sim::parse_device_spec(bad, true)) << bad;
  }
  EXPECT_FALSE(sim::parse_sim_args({"--chair", kChairA, "--device", kChairA})) << "same address twice";
  EXPECT_FALSE(sim::parse_sim_args({"--connect-delay", "soon"}));

  ChildProcess version({chair_bin("chair-sim"), "--version"});
  EXPECT_TRUE(version.wait_for_line(std::string("chair-sim ") + CHAIR_VERSION));
}

TEST(ChairSim, ExportsTheAdapterAndOnlyKnownDevicesAtStart) {
  SimFixture f({"--chair", kPairedSpec, "--chair", "C0:FF:EE:01:02:0B,known", "--chair",
                "C0:FF:EE:01:02:0C,name=TAMRO-NEW", "--device", "AA:BB:CC:DD:EE:01,name=Phone"});
  const ManagedObjects objects = f.client->objects();
  const Props& adapter = objects.at(sdbus::ObjectPath(kAdapterPath)).at(kAdapterIface);
  EXPECT_TRUE(adapter.at(kPowered).get<bool>());
  EXPECT_FALSE(adapter.at(kDiscovering).get<bool>());
  EXPECT_EQ(adapter.at(kAddress).get<std::string>().size(), 17u);

  const Props& a = objects.at(sdbus::ObjectPath(kChairAPath)).at(kDeviceIface);
  EXPECT_EQ(a.at(kAddress).get<std::string>(), kChairA);
  EXPECT_EQ(a.at(kName).get<std::string>(), "TAMRO-X1");
  EXPECT_EQ(a.at(kAlias).get<std::string>(), "TAMRO-X1");
  EXPECT_TRUE(a.at(kPaired).get<bool>() && a.at(kBonded).get<bool>());
  EXPECT_FALSE(a.at(kConnected).get<bool>() || a.at(kServicesResolved).get<bool>());
  EXPECT_EQ(a.at(kRssi).get<int16_t>(), 0) << "not seen yet";
  EXPECT_EQ(a.at(kAdapter).get<sdbus::ObjectPath>(), kAdapterPath);

  const Props& b = objects.at(sdbus::ObjectPath("/org/bluez/hci0/dev_C0_FF_EE_01_02_0B")).at(kDeviceIface);
  EXPECT_EQ(b.at(kName).get<std::string>(), "");
  EXPECT_EQ(b.at(kAlias).get<std::string>(), "C0-FF-EE-01-02-0B") << "no name: the address with dashes";
  EXPECT_FALSE(b.at(kPaired).get<bool>());

  EXPECT_EQ(objects.count(sdbus::ObjectPath("/org/bluez/hci0/dev_C0_FF_EE_01_02_0C")), 0u) << "not discovered yet";
  EXPECT_EQ(objects.count(sdbus::ObjectPath("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01")), 0u);
  for (const auto& [path, ifaces] : objects) EXPECT_EQ(ifaces.count(kGattServiceIface), 0u) << path;

  EXPECT_EQ(f.daemon.stop(), 0) << "SIGTERM ends the simulator cleanly";
}

TEST(ChairSim, DiscoveryAnnouncesDevicesAndForgetsTemporaryOnes) {
  const std::string c = "/org/bluez/hci0/dev_C0_FF_EE_01_02_0C";
  const std::string phone = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
  SimFixture f({"--chair", kPairedSpec, "--chair", "C0:FF:EE:01:02:0C,name=TAMRO-NEW", "--chair",
                "C0:FF:EE:01:02:0D,name=TAMRO-HIDDEN,hidden", "--device", "AA:BB:CC:DD:EE:01,name=Phone",
                "--announce-interval", "50", "--temporary-timeout", "300"});
  auto adapter = sdbus::createProxy(f.client->connection(), kBluezService, kAdapterPath);
  auto filter = [&](Props p) -> std::string {
    try {
      adapter->callMethod(kSetDiscoveryFilter).onInterface(kAdapterIface).withArguments(p);
      return "";
    } catch (const sdbus::Error& e) {
      return e.getName();
    }
  };
  EXPECT_EQ(filter({{"Transport", sdbus::Variant(int32_t{5})}}), "org.bluez.Error.InvalidArguments");
  EXPECT_EQ(filter({{"Colour", sdbus::Variant(true)}}), "org.bluez.Error.InvalidArguments");
  ASSERT_EQ(filter({{"Transport", sdbus::Variant(std::string("le"))}, {"DuplicateData", sdbus::Variant(true)}}), "");

  ASSERT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStartDiscovery), "");
  EXPECT_TRUE(f.client->wait(changed_to(kAdapterPath, kAdapterIface, kDiscovering, true)));
  EXPECT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStartDiscovery),
            "org.bluez.Error.InProgress: Operation already in progress");

  auto new_chair = f.client->wait(added(c));
  ASSERT_TRUE(new_chair);
  const Props& props = new_chair->added.at(kDeviceIface);
  EXPECT_EQ(props.at(kName).get<std::string>(), "TAMRO-NEW");
  EXPECT_NE(props.at(kRssi).get<int16_t>(), 0);
  EXPECT_TRUE(f.client->wait(added(phone)));
  // Known devices and later announcements arrive as changes of RSSI (and, with DuplicateData,
  // of ManufacturerData), each with a new value.
  EXPECT_TRUE(f.client->wait(changed(kChairAPath, kDeviceIface, kRssi)));
  ASSERT_TRUE(eventually([&] { return f.client->count(changed(c, kDeviceIface, kRssi)) >= 3; }));
  int16_t last = props.at(kRssi).get<int16_t>();
  for (const auto& s : f.client->signals()) {
    if (s.path != c || !s.changes(kDeviceIface, kRssi)) continue;
    EXPECT_NE(s.changed.at(kRssi).get<int16_t>(), last);
    last = s.changed.at(kRssi).get<int16_t>();
    EXPECT_EQ(s.changed.count(kManufacturerData), 1u);
  }
  EXPECT_EQ(f.client->count([](const Sig& s) { return s.object.find("0D") != std::string::npos; }), 0u)
      << "a device that does not advertise is never discovered";

  const size_t stop_at = f.client->size();
  ASSERT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStopDiscovery), "");
  EXPECT_TRUE(f.client->wait(changed_to(kAdapterPath, kAdapterIface, kDiscovering, false)));
  EXPECT_TRUE(f.client->wait(
      [&](const Sig& s) {
        return s.path == kChairAPath && s.member == kPropertiesChanged &&
               s.invalidated == std::vector<std::string>{kRssi};
      },
      3s, stop_at));
  EXPECT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStopDiscovery),
            "org.bluez.Error.Failed: No discovery started");
  // Devices only seen in that discovery go after the temporary timeout; the paired one stays.
  EXPECT_TRUE(f.client->wait(removed(c)));
  EXPECT_TRUE(f.client->wait(removed(phone)));
  EXPECT_EQ(f.client->objects().count(sdbus::ObjectPath(kChairAPath)), 1u);
  EXPECT_EQ(f.client->count(removed(kChairAPath)), 0u);
}

TEST(ChairSim, DiscoverySessionsBelongToTheirSender) {
  SimFixture f({"--chair", kPairedSpec});
  auto other = std::make_unique<SimClient>(f.daemon.bus_address());
  ASSERT_EQ(other->call(kAdapterPath, kAdapterIface, kStartDiscovery), "");
  ASSERT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStartDiscovery), "");
  ASSERT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStopDiscovery), "");
  EXPECT_TRUE(f.client->props(kAdapterPath, kAdapterIface).at(kDiscovering).get<bool>()) << "the other still discovers";
  other.reset();  // leaving the bus ends its session
  EXPECT_TRUE(f.client->wait(changed_to(kAdapterPath, kAdapterIface, kDiscovering, false)));
}

// A paired chair, connected, its data characteristic notifying.
class ConnectedChair : public ::testing::Test {
 protected:
  explicit ConnectedChair(std::vector<std::string> args = {"--chair", kPairedSpec}) : f(std::move(args)) {}
  void SetUp() override { connect_and_subscribe(f); }
  SimFixture f;
};

TEST(ChairSim, ConnectResolvesServicesOnceAndInOrder) {
  SimFixture f({"--chair", kPairedSpec, "--connect-delay", "100"});
  auto device = sdbus::createProxy(f.client->connection(), kBluezService, kChairAPath);
  std::mutex m;
  std::vector<std::string> replies;
  for (int i = 0; i < 2; ++i) {
    device->callMethodAsync(kConnect).onInterface(kDeviceIface).uponReplyInvoke([&](const sdbus::Error* e) {
      std::lock_guard lock(m);
      replies.push_back(e ? e->getMessage() : "ok");
    });
  }
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return replies.size() == 2;
  }));
  EXPECT_EQ(replies, (std::vector<std::string>{"Operation already in progress", "ok"}));

  // Connected, then the GATT objects, then ServicesResolved.
  ASSERT_TRUE(f.client->wait(changed_to(kChairAPath, kDeviceIface, kServicesResolved, true)));
  const long connected = f.client->index_of(changed_to(kChairAPath, kDeviceIface, kConnected, true));
  const long service = f.client->index_of(added(kServicePath));
  const long characteristic = f.client->index_of(added(kCharPath));
  const long resolved = f.client->index_of(changed_to(kChairAPath, kDeviceIface, kServicesResolved, true));
  EXPECT_TRUE(connected >= 0 && connected < service && service < characteristic && characteristic < resolved);

  const ManagedObjects objects = f.client->objects();
  const Props& chr = objects.at(sdbus::ObjectPath(kCharPath)).at(kCharIface);
  EXPECT_EQ(chr.at(kUuid).get<std::string>(), kDataUuid);
  EXPECT_EQ(chr.at(kFlags).get<std::vector<std::string>>(),
            (std::vector<std::string>{"read", "write-without-response", "write", "notify"}));
  EXPECT_EQ(chr.at(kService).get<sdbus::ObjectPath>(), kServicePath);
  EXPECT_EQ(objects.at(sdbus::ObjectPath(kServicePath)).at(kGattServiceIface).at(kDevice).get<sdbus::ObjectPath>(),
            kChairAPath);
  EXPECT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect), "") << "already connected";
}

TEST(ChairSim, DisconnectTakesItsTimeAndCancelsAConnectUnderWay) {
  SimFixture f({"--chair", kPairedSpec, "--connect-delay", "100", "--disconnect-delay", "200"});
  ASSERT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect), "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(f.client->call(kChairAPath, kDeviceIface, kDisconnect), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms) << "the reply waits for the link to go down";
  const long unresolved = f.client->index_of(changed_to(kChairAPath, kDeviceIface, kServicesResolved, false));
  const long disconnected = f.client->index_of(changed_to(kChairAPath, kDeviceIface, kConnected, false));
  EXPECT_TRUE(unresolved >= 0 && unresolved < disconnected);
  EXPECT_EQ(f.client->objects().count(sdbus::ObjectPath(kCharPath)), 1u) << "the attribute cache survives";
  EXPECT_EQ(f.client->call(kChairAPath, kDeviceIface, kDisconnect), "") << "not connected: success at once";

  auto device = sdbus::createProxy(f.client->connection(), kBluezService, kChairAPath);
  std::atomic<bool> canceled{false};
  device->callMethodAsync(kConnect).onInterface(kDeviceIface).uponReplyInvoke([&](const sdbus::Error* e) {
    canceled = e && e->getMessage() == "br-connection-canceled";
  });
  EXPECT_EQ(f.client->call(kChairAPath, kDeviceIface, kDisconnect), "");
  EXPECT_TRUE(eventually([&] { return canceled.load(); }));
}

TEST_F(ConnectedChair, QueriesAndCommandsAreAnsweredByNotification) {
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
  ASSERT_TRUE(wait_values(f, 1));
  EXPECT_EQ(hex(f.client->values()[0]), kFreshReport);
  EXPECT_EQ(f.client->write(kCharPath, kCold5), "") << "no type: a request, the characteristic has write";
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
  ASSERT_TRUE(wait_values(f, 4));
  const auto values = f.client->values();
  EXPECT_EQ(hex(values[1]), "55 02 0B 02 05 0E AA");
  EXPECT_EQ(values[2], values[3]) << "equal answers are each notified";
  EXPECT_EQ(values[2][4], 5) << "cooling level in the full report";
  EXPECT_EQ(f.ctl({"writes", kChairA}),
            "command 55 01 0A 02 00 09 AA\nrequest 55 02 0A 02 05 0F AA\ncommand 55 01 0A 02 00 09 AA\n"
            "command 55 01 0A 02 00 09 AA\n");
  const auto status = nlohmann::json::parse(f.ctl({"status", kChairA}));
  EXPECT_EQ(status["cold"], 5);
  EXPECT_EQ(status["connected"], true);
}

TEST_F(ConnectedChair, NoNotificationWithoutANotifySession) {
  EXPECT_EQ(f.client->call(kCharPath, kCharIface, kStartNotify), "") << "the same sender again, armed";
  EXPECT_EQ(f.client->call(kCharPath, kCharIface, kStopNotify), "");
  EXPECT_TRUE(f.client->wait(changed_to(kCharPath, kCharIface, kNotifying, false)));
  EXPECT_EQ(f.client->call(kCharPath, kCharIface, kStopNotify), "org.bluez.Error.Failed: No notify session started");
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
  ASSERT_EQ(f.client->call(kCharPath, kCharIface, kStartNotify), "");
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
  ASSERT_TRUE(wait_values(f, 1));
  EXPECT_EQ(f.client->values().size(), 1u) << "no notification without a session";
}

TEST(ChairSim, ANotifySessionOpenedWhileDisconnectedWaitsForTheConnection) {
  SimFixture f({"--chair", kPairedSpec});
  ASSERT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect), "");
  ASSERT_EQ(f.client->call(kChairAPath, kDeviceIface, kDisconnect), "");
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "org.bluez.Error.Failed: Not connected");
  EXPECT_EQ(f.client->call(kCharPath, kCharIface, kStartNotify), "");
  EXPECT_FALSE(f.client->props(kCharPath, kCharIface).at(kNotifying).get<bool>());
  EXPECT_EQ(f.client->call(kCharPath, kCharIface, kStartNotify), "org.bluez.Error.InProgress: In Progress");
  ASSERT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect), "");
  EXPECT_TRUE(f.client->wait(changed_to(kCharPath, kCharIface, kNotifying, true)));
}

// The default MTU of 23 leaves 20 bytes for a command.
TEST_F(ConnectedChair, WritesFollowTheDaemonsRules) {
  EXPECT_EQ(f.client->write(kCharPath, Bytes(21, 0), "command"), "org.bluez.Error.Failed: Failed to initiate write");
  EXPECT_EQ(f.client->write(kCharPath, Bytes(20, 0), "command"), "");
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "sideways"),
            "org.bluez.Error.InvalidArguments: Invalid arguments in method call");

  // Anything written while a request is pending on the characteristic is turned away. The
  // request stays pending for as long as the test holds it, however slow the machine.
  f.ctl({"hold-writes", kChairA});
  auto chr = sdbus::createProxy(f.client->connection(), kBluezService, kCharPath);
  std::atomic<int> first{-1};
  chr->callMethodAsync(kWriteValue)
      .onInterface(kCharIface)
      .withArguments(kCold5, Props{{kWriteType, sdbus::Variant(std::string(kWriteRequest))}})
      .uponReplyInvoke([&](const sdbus::Error* e) { first = e ? 1 : 0; });
  ASSERT_TRUE(eventually([&] { return f.ctl({"writes", kChairA}).find("request") != std::string::npos; }));
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "org.bluez.Error.InProgress: In Progress");
  EXPECT_EQ(first, -1) << "the request is still held";
  f.ctl({"release-writes", kChairA});
  ASSERT_TRUE(eventually([&] { return first != -1; }));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
}

TEST_F(ConnectedChair, ASilentChairAppliesWritesWithoutAnswering) {
  f.ctl({"silent", "on"});
  EXPECT_EQ(f.client->write(kCharPath, kCold5, "command"), "");
  f.ctl({"silent", "off", kChairA});
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
  ASSERT_TRUE(wait_values(f, 1));
  EXPECT_EQ(f.client->values().size(), 1u) << "the silent chair answered";
  EXPECT_EQ(f.client->values()[0][4], 5) << "but it applied the level";
}

TEST_F(ConnectedChair, ARefusingChairFailsWritesWithTheGivenError) {
  f.ctl({"refuse-writes", kChairA, "org.bluez.Error.NotPermitted", "Write not permitted"});
  EXPECT_EQ(f.client->write(kCharPath, kQuery), "org.bluez.Error.NotPermitted: Write not permitted");
  f.ctl({"accept-writes", kChairA});
  EXPECT_EQ(f.client->write(kCharPath, kQuery), "");
}

// Switched off: the link drops and cannot come back until the chair is present again, like a
// chair that is absent from the start.
struct ChairAndAbsentChair : ConnectedChair {
  ChairAndAbsentChair() : ConnectedChair({"--chair", kPairedSpec, "--chair", "C0:FF:EE:01:02:0B,known,absent"}) {}
};

TEST_F(ChairAndAbsentChair, ADroppedChairCannotConnectUntilItIsPresentAgain) {
  EXPECT_EQ(f.client->call("/org/bluez/hci0/dev_C0_FF_EE_01_02_0B", kDeviceIface, kConnect),
            "org.bluez.Error.Failed: le-connection-abort-by-local");
  const size_t before_drop = f.client->size();
  f.ctl({"drop", kChairA});
  EXPECT_TRUE(f.client->wait(changed_to(kChairAPath, kDeviceIface, kConnected, false), 3s, before_drop));
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "org.bluez.Error.Failed: Not connected");
  EXPECT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect),
            "org.bluez.Error.Failed: le-connection-abort-by-local");
  f.ctl({"present", kChairA});
  const size_t before_back = f.client->size();
  EXPECT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect), "");
  EXPECT_TRUE(f.client->wait(changed_to(kCharPath, kCharIface, kNotifying, true), 3s, before_back))
      << "the notify session is re-armed";
}

TEST_F(ConnectedChair, PowerOffDropsTheLinkAndRefusesDiscoveryAndConnectionsUntilOn) {
  const size_t before_off = f.client->size();
  f.ctl({"power", "off"});
  EXPECT_TRUE(f.client->wait(changed_to(kAdapterPath, kAdapterIface, kPowered, false), 3s, before_off));
  EXPECT_TRUE(f.client->wait(changed_to(kChairAPath, kDeviceIface, kConnected, false), 3s, before_off));
  EXPECT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStartDiscovery),
            "org.bluez.Error.NotReady: Resource Not Ready");
  EXPECT_EQ(f.client->call(kChairAPath, kDeviceIface, kConnect),
            "org.bluez.Error.Failed: le-connection-adapter-not-powered");
  f.ctl({"power", "on"});
  EXPECT_EQ(f.client->call(kAdapterPath, kAdapterIface, kStartDiscovery), "");
}

// Control commands run on the simulator's scheduler while its timers are pending; status used to
// take the whole simulator down. It must answer for every kind of device in every state, and the
// simulator must go on serving afterwards.
TEST(ChairSim, StatusAnswersInEveryDeviceStateAndTheSimulatorLivesOn) {
  SimFixture f({"--chair", kPairedSpec, "--chair", "C0:FF:EE:01:02:0C,alias=TAMRO-MINE,paired,layout=no-data-char",
                "--device", "AA:BB:CC:DD:EE:01,name=Phone", "--announce-interval", "10"});
  auto status = [&](const std::string& address) { return nlohmann::json::parse(f.ctl({"status", address})); };

  const auto phone = status("aa:bb:cc:dd:ee:01");
  EXPECT_EQ(phone["exported"], false);
  EXPECT_FALSE(phone.contains("cold")) << "not a chair: no chair state";
  EXPECT_EQ(status("C0:FF:EE:01:02:0C")["layout"], "no-data-char");
  EXPECT_EQ(status(kChairA)["switchByte"], 8);

  connect_and_subscribe(f);
  EXPECT_EQ(f.client->write(kCharPath, kCold5, "command"), "");
  ASSERT_TRUE(wait_values(f, 1));
  for (int i = 0; i < 5; ++i) {
    const auto a = status(kChairA);
    EXPECT_EQ(a["connected"], true);
    EXPECT_EQ(a["notifying"], true);
    EXPECT_EQ(a["cold"], 5);
  }
  f.ctl({"layout", kChairA, "no-data-char"});
  EXPECT_EQ(status(kChairA)["notifying"], false) << "the old table is gone";
  f.ctl({"remove", kChairA});
  EXPECT_EQ(status(kChairA)["exported"], false);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"status"}, {"status", "11:22:33:44:55:66"}, {"drop", "11:22:33:44:55:66"}, {"frobnicate"}}) {
    f.ctl(bad, false);
  }
  EXPECT_NE(f.ctl({"list"}).find("AA:BB:CC:DD:EE:01 name=Phone"), std::string::npos);

  // A paired device may carry a name of the user's while it advertises none.
  const Props mine = f.client->props("/org/bluez/hci0/dev_C0_FF_EE_01_02_0C", kDeviceIface);
  EXPECT_EQ(mine.at(kAlias).get<std::string>(), "TAMRO-MINE");
  EXPECT_EQ(mine.at(kName).get<std::string>(), "");
}

TEST(ChairSim, LayoutsChangeTheAttributeTableAndRemoveGoesChildrenFirst) {
  SimFixture f({"--chair", kPairedSpec});
  connect_and_subscribe(f);
  const std::string notifier = std::string(kServicePath) + "/char000e";

  f.ctl({"layout", kChairA, "write-only-with-notifier"});
  ASSERT_TRUE(f.client->wait(added(notifier)));
  auto objects = f.client->objects();
  EXPECT_EQ(objects.at(sdbus::ObjectPath(kCharPath)).at(kCharIface).at(kFlags).get<std::vector<std::string>>(),
            (std::vector<std::string>{"write-without-response", "write"}));
  EXPECT_EQ(f.client->call(kCharPath, kCharIface, kStartNotify),
            "org.bluez.Error.NotSupported: Operation is not supported");
  ASSERT_EQ(f.client->call(notifier, kCharIface, kStartNotify), "");
  EXPECT_EQ(f.client->write(kCharPath, kQuery, "command"), "");
  ASSERT_TRUE(wait_values(f, 1, notifier));
  EXPECT_EQ(hex(f.client->values(notifier)[0]), kFreshReport);

  f.ctl({"layout", kChairA, "indicate-only"});
  ASSERT_TRUE(f.client->wait(removed(notifier)));
  ASSERT_TRUE(eventually([&] {
    auto o = f.client->objects();
    auto it = o.find(sdbus::ObjectPath(kCharPath));
    return it != o.end() && it->second.at(kCharIface).at(kFlags).get<std::vector<std::string>>() ==
                                std::vector<std::string>{"read", "write", "indicate"};
  }));
  EXPECT_EQ(f.client->call(kCharPath, kCharIface, kStartNotify), "");
  EXPECT_EQ(f.client->write(kCharPath, kQuery), "");
  ASSERT_TRUE(wait_values(f, 1));

  f.ctl({"layout", kChairA, "no-data-char"});
  ASSERT_TRUE(eventually([&] {
    auto o = f.client->objects();
    auto it = o.find(sdbus::ObjectPath(kCharPath));
    return it != o.end() && it->second.at(kCharIface).at(kUuid).get<std::string>() != kDataUuid;
  }));

  const size_t before = f.client->size();
  f.ctl({"remove", kChairA});
  ASSERT_TRUE(f.client->wait(removed(kChairAPath), 3s, before));
  const long chr = f.client->index_of(removed(kCharPath), before);
  const long svc = f.client->index_of(removed(kServicePath), before);
  const long dev = f.client->index_of(removed(kChairAPath), before);
  EXPECT_TRUE(chr >= 0 && chr < svc && svc < dev);
  EXPECT_EQ(f.client->objects().count(sdbus::ObjectPath(kChairAPath)), 0u);
}

TEST(ChairSim, WriteStreamAndChunkedAnswers) {
  SimFixture f({"--chair", kPairedSpec + ",chunking,seed=3"});
  ChildProcess watch({chair_bin("chair-sim"), "ctl", "--bus", f.daemon.bus_address(), "watch-writes"});
  ASSERT_TRUE(watch.wait_for_line("READY"));
  connect_and_subscribe(f);

  // The same writes to a plain model give the byte stream the chunking chair must produce.
  std::vector<Bytes> writes{kQuery, kCold5, kQuery, {0x55, 0x06, 0x0A, 0x02, 0x03, 0x0F, 0xAA}, kQuery, kQuery};
  sim::ChairModel plain;
  Bytes expected;
  for (const auto& w : writes) {
    EXPECT_EQ(f.client->write(kCharPath, w, "command"), "");
    for (const auto& n : plain.on_write(w)) expected.insert(expected.end(), n.begin(), n.end());
  }
  Bytes got;
  ASSERT_TRUE(eventually([&] {
    got.clear();
    for (const auto& v : f.client->values()) got.insert(got.end(), v.begin(), v.end());
    return got.size() >= expected.size();
  }));
  EXPECT_EQ(hex(got), hex(expected));
  EXPECT_GT(f.client->values().size(), writes.size()) << "answers were cut";

  const std::string line =
      watch.wait_for([](const std::string& l) { return l.find("55 06 0A 02 03 0F AA") != std::string::npos; });
  EXPECT_EQ(line, std::string(kChairA) + " command 55 06 0A 02 03 0F AA");
  EXPECT_EQ(watch.lines().size(), 1 + writes.size());
}

}  // namespace
}  // namespace chair::test
