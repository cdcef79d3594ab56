// Scanning end to end inside the test process: the service on an ephemeral port, the
// scripted platform delivering advertisements, HTTP and the event stream observed.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ble/none/none_platform.h"
#include "ble/scanner.h"
#include "fake_platform.h"
#include "http_client.h"
#include "main/service.h"
#include "pnp/paired_names.h"

namespace chair {
namespace {

using nlohmann::json;
using test::FakeAdvert;
using test::get_json;

constexpr uint64_t kChair = 0xC0FFEE01020A;
constexpr uint64_t kOther = 0xC0FFEE01020B;
constexpr const char* kChairText = "C0:FF:EE:01:02:0A";
constexpr const char* kOtherText = "C0:FF:EE:01:02:0B";
constexpr const char* kRadioOff = "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on";

json ok() { return json{{"ok", true}}; }
json error(const std::string& text) { return json{{"error", text}, {"ok", false}}; }

bool is_device(const json& e) { return e.value("type", "") == "device"; }

class ScanRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    // An empty platform listing keeps the service from looking for PowerShell.
    fake->set_paired_names(ble::PairedNames{});
    start(fake);
  }
  void start(ble::PlatformPtr platform) {
    auto svc = start_in_process(std::move(platform), {.start_supervisor = false, .start_listing = false});
    ASSERT_TRUE(svc.ok()) << svc.error();
    service = *svc;
    events = std::make_unique<test::EventStream>(service.port);
    ASSERT_EQ(events->next(), R"({"type":"status","status":"idle"})");
  }
  uint16_t port() const { return service.port; }
  json devices() { return get_json(port(), "/api/devices"); }

  // Advertises a chair nobody else uses and returns the first device event that follows:
  // anything advertised before it that should have been dropped shows up here instead.
  json next_device_after_sentinel() {
    fake->advertise(FakeAdvert::named(0x5E5E5E5E5E5E, "TAMRO sentinel"));
    auto e = events->wait_for(is_device);
    return e ? (*e)["device"] : json();
  }

  std::shared_ptr<test::FakePlatform> fake = std::make_shared<test::FakePlatform>();
  InProcessService service;
  std::unique_ptr<test::EventStream> events;
};

TEST_F(ScanRoutes, AcceptedAdvertisementsAreRecordedMergedAndPublished) {
  EXPECT_EQ(get_json(port(), "/api/scan/start"), ok());
  EXPECT_EQ(events->next(), R"({"type":"status","status":"scanning"})");
  EXPECT_EQ(events->next(), R"({"type":"log","log":"scan started"})");

  FakeAdvert first = FakeAdvert::named(kChair, "  tamro-S1", -70);
  first.uuids = std::vector<Result<ble::Uuid>>{
      test::uuid("0000fe95-0000-1000-8000-00805f9b34fb"), fail("unreadable element"),
      test::uuid("7772E5DB-3868-4112-A1A9-F2669D106BF3"), test::uuid("0000fe95-0000-1000-8000-00805f9b34fb")};
  first.company_ids = std::vector<Result<uint16_t>>{uint16_t{0x0590}, fail("unreadable"), uint16_t{0x004C}};
  fake->advertise(first);
  EXPECT_EQ(events->next(),
            R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"  tamro-S1","rssi":-70,)"
            R"("hits":1,"lastSeen":"","services":["fe95","7772e5db-3868-4112-a1a9-f2669d106bf3"],)"
            R"("vendors":[1424,76]}})");

  // A second advertisement: unreadable signal strength, one old and one new identifier each.
  FakeAdvert second = FakeAdvert::named(kChair, "TAMRO S1");
  second.rssi = fail("no rssi");
  second.uuids = std::vector<Result<ble::Uuid>>{test::uuid("0000180f-0000-1000-8000-00805f9b34fb"),
                                                test::uuid("0000fe95-0000-1000-8000-00805f9b34fb")};
  second.company_ids = std::vector<Result<uint16_t>>{uint16_t{0x004C}, uint16_t{0x0001}};
  fake->advertise(second);
  const json expected = {{"address", kChairText},
                         {"name", "TAMRO S1"},
                         {"rssi", 0},
                         {"hits", 2},
                         {"lastSeen", ""},
                         {"services", {"fe95", "7772e5db-3868-4112-a1a9-f2669d106bf3", "180f"}},
                         {"vendors", {1424, 76, 1}}};
  auto e = events->wait_for(is_device);
  ASSERT_TRUE(e);
  EXPECT_EQ((*e)["device"], expected);

  // Unreadable lists and an unreadable payload still leave the advertisement's other fields.
  FakeAdvert bare = FakeAdvert::named(kOther, "TAMRO bare", -40);
  bare.uuids = fail("no list");
  bare.company_ids = fail("no list");
  fake->advertise(bare);
  EXPECT_EQ(events->next(), R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0B","name":"TAMRO bare",)"
                            R"("rssi":-40,"hits":1,"lastSeen":""}})");

  // The listing holds the same records the events carried.
  json listed = devices();
  ASSERT_EQ(listed.size(), 2u);
  const json& s1 = listed[0]["address"] == kChairText ? listed[0] : listed[1];
  const json& other = listed[0]["address"] == kChairText ? listed[1] : listed[0];
  EXPECT_EQ(s1, expected);
  EXPECT_EQ(other, json::parse(R"({"address":"C0:FF:EE:01:02:0B","hits":1,"lastSeen":"","name":"TAMRO bare","rssi":-40})"));
}

TEST_F(ScanRoutes, AdvertisementsThatFailTheFilterOrTheReadsAreDropped) {
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  FakeAdvert no_address = FakeAdvert::named(kChair, "TAMRO");
  no_address.address = fail("no address");
  FakeAdvert zero = FakeAdvert::named(0, "TAMRO");
  FakeAdvert no_payload = FakeAdvert::named(kChair, "TAMRO");
  no_payload.payload_error = "no payload";
  FakeAdvert no_name = FakeAdvert::named(kChair, "TAMRO");
  no_name.local_name = fail("no name");
  const FakeAdvert dropped[] = {
      FakeAdvert::named(kChair, "X TAMRO"), FakeAdvert::named(kChair, ""), FakeAdvert::named(kChair, "TAMR"),
      no_address, zero, no_payload, no_name,
  };
  for (auto& a : dropped) fake->advertise(a);
  fake->advertise_missing_args();

  EXPECT_EQ(next_device_after_sentinel()["name"], "TAMRO sentinel");
  EXPECT_EQ(devices().size(), 1u);
}

TEST_F(ScanRoutes, PairedNameStandsInOnlyWhileTheChairAdvertisesNoName) {
  fake->set_paired_names(ble::PairedNames{{"C0FFEE01020A", "TAMRO Paired"}, {"C0FFEE01020B", "TAMRO Other"}});
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  // The scan start refreshes the paired names on a thread of its own.
  ASSERT_TRUE(test::eventually([&] { return pnp::lookup_paired_name(*service.state, kChairText) != ""; }));

  auto advertise_and_name = [&](FakeAdvert a) {
    fake->advertise(a);
    auto e = events->wait_for(is_device);
    return e ? (*e)["device"]["name"].get<std::string>() : std::string("<none>");
  };
  FakeAdvert nameless = FakeAdvert::named(kChair, "");
  EXPECT_EQ(advertise_and_name(nameless), "TAMRO Paired");
  EXPECT_EQ(advertise_and_name(FakeAdvert::named(kChair, "TAMRO Own")), "TAMRO Own");
  EXPECT_EQ(advertise_and_name(nameless), "TAMRO Own");

  // An advertised name is what the filter judges, even when the paired name would pass;
  // an address with no paired name and no advertised name is dropped.
  fake->advertise(FakeAdvert::named(kOther, "Other"));
  fake->advertise(FakeAdvert::named(0x0A0A0A0A0A0A, ""));
  EXPECT_EQ(next_device_after_sentinel()["name"], "TAMRO sentinel");
}

TEST_F(ScanRoutes, StopKeepsTheTableAndNothingIsRecordedAfterIt) {
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  fake->advertise(FakeAdvert::named(kChair, "TAMRO S1"));
  ASSERT_TRUE(events->wait_for(is_device));

  EXPECT_EQ(get_json(port(), "/api/scan/stop"), ok());
  EXPECT_EQ(events->next(), R"({"type":"status","status":"idle"})");
  EXPECT_EQ(events->next(), R"({"type":"log","log":"scan stopped"})");
  EXPECT_EQ(fake->watchers_running(), 0);
  EXPECT_FALSE(service.state->scanActive.load());

  // A handler run already under way when the scan stopped changes nothing.
  ble::on_advertisement(*service.state, test::make_advert_args(FakeAdvert::named(kChair, "TAMRO late")));
  ble::on_advertisement(*service.state, test::make_advert_args(FakeAdvert::named(kOther, "TAMRO late")));
  json listed = devices();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["name"], "TAMRO S1");
  EXPECT_EQ(listed[0]["hits"], 1);

  // Stopping again is harmless and still reported.
  EXPECT_EQ(get_json(port(), "/api/scan/stop"), ok());
  EXPECT_TRUE(events->wait_log("scan stopped"));
  for (auto& r : events->drain()) EXPECT_EQ(json::parse(r)["type"], "status") << r;

  // The next start empties the table.
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  EXPECT_EQ(devices(), json::array());
}

TEST_F(ScanRoutes, SecondStartReplacesTheWatcherAndEmptiesTheTable) {
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  fake->advertise(FakeAdvert::named(kChair, "TAMRO S1"));
  ASSERT_EQ(devices().size(), 1u);

  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  EXPECT_EQ(devices(), json::array());
  EXPECT_EQ(fake->watchers_started(), 2);
  EXPECT_EQ(fake->watchers_running(), 1);

  // Delivered by one watcher only, so counted once.
  fake->advertise(FakeAdvert::named(kChair, "TAMRO S1"));
  EXPECT_EQ(devices()[0]["hits"], 1);
}

TEST_F(ScanRoutes, BluetoothUnavailableBlocksTheStartAndChangesNothing) {
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  fake->advertise(FakeAdvert::named(kChair, "TAMRO S1"));

  struct Case {
    std::function<void()> arrange;
    std::string message;
  } cases[] = {
      {[&] { fake->set_radio(ble::RadioState::Off); }, kRadioOff},
      {[&] { fake->set_radio_state_error("unreadable"); }, kRadioOff},
      {[&] { fake->set_radio_error("radio gone"); }, "无法获取蓝牙无线电状态 (radio gone)"},
      {[&] { fake->set_adapter_error("adapter gone"); }, "未检测到蓝牙适配器 (adapter gone)"},
      {[&] { fake->set_no_adapter(); }, "未检测到蓝牙适配器 (the operation returned no result)"},
  };
  for (auto& c : cases) {
    c.arrange();
    EXPECT_EQ(get_json(port(), "/api/scan/start"), error(c.message));
    EXPECT_TRUE(events->wait_log("scan blocked: " + c.message)) << c.message;
    fake->set_radio(ble::RadioState::On);
    fake->set_adapter_present();
  }
  for (auto& r : events->drain()) EXPECT_NE(json::parse(r)["type"], "status") << r;
  EXPECT_EQ(fake->watchers_started(), 1);
  EXPECT_EQ(fake->watchers_running(), 1);
  EXPECT_EQ(devices().size(), 1u);
  EXPECT_TRUE(service.state->scanActive.load());
}

TEST_F(ScanRoutes, FailedWatcherStartLeavesScanningOffWithAnEmptyTable) {
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  fake->advertise(FakeAdvert::named(kChair, "TAMRO S1"));
  ASSERT_TRUE(events->wait_for(is_device));

  fake->set_watcher_start_error("radio busy");
  EXPECT_EQ(get_json(port(), "/api/scan/start"), error("radio busy"));
  EXPECT_EQ(events->next(), R"({"type":"status","status":"scanning"})");
  EXPECT_EQ(events->next(), R"({"type":"log","log":"scan started"})");
  EXPECT_EQ(events->next(), R"({"type":"status","status":"idle"})");
  EXPECT_EQ(events->next(), R"({"type":"log","log":"scan error: radio busy"})");
  EXPECT_EQ(devices(), json::array());
  EXPECT_EQ(fake->watchers_running(), 0);
  EXPECT_FALSE(service.state->scanActive.load());
}

// A watcher that is not kept must be stopped, or it goes on delivering unseen.
TEST_F(ScanRoutes, OverlappingStartsAndStopsLeaveAtMostOneWatcherRunning) {
  // A stop that lands while the watcher starts: the scan ends with no watcher running.
  fake->on_watcher_start([&] { EXPECT_EQ(get_json(port(), "/api/scan/stop"), ok()); });
  EXPECT_EQ(get_json(port(), "/api/scan/start"), ok());
  EXPECT_EQ(fake->watchers_running(), 0);
  fake->advertise(FakeAdvert::named(kChair, "TAMRO S1"));
  EXPECT_EQ(devices(), json::array());

  // A second start that completes while the first one's watcher starts: one watcher runs.
  std::atomic<bool> nested{false};
  fake->on_watcher_start([&] {
    if (!nested.exchange(true)) {
      EXPECT_EQ(get_json(port(), "/api/scan/start"), ok());
    }
  });
  EXPECT_EQ(get_json(port(), "/api/scan/start"), ok());
  EXPECT_EQ(fake->watchers_running(), 1);
  fake->advertise(FakeAdvert::named(kChair, "TAMRO S1"));
  EXPECT_EQ(devices()[0]["hits"], 1);
}

TEST_F(ScanRoutes, StartEndsAHandshakeButNotAConnectedLink) {
  auto set_link = [&](bool open, bool connected) {
    std::lock_guard lock(service.state->link.mutex);
    service.state->link.open = open;
    service.state->link.connected = connected;
    service.state->link.generation = open ? 7 : 0;
  };
  auto link_open = [&] {
    std::lock_guard lock(service.state->link.mutex);
    return service.state->link.open;
  };
  set_link(true, true);
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  EXPECT_TRUE(link_open());

  set_link(true, false);
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  EXPECT_FALSE(link_open());
}

TEST_F(ScanRoutes, ConcurrentAdvertisementsAreAllCounted) {
  ASSERT_EQ(get_json(port(), "/api/scan/start"), ok());
  const int before = fake->init_thread_calls();
  constexpr int kThreads = 4, kEach = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) fake->advertise(FakeAdvert::named(t % 2 ? kChair : kOther, "TAMRO"));
    });
  for (auto& t : threads) t.join();
  uint64_t hits = 0;
  for (auto& d : devices()) hits += d["hits"].get<uint64_t>();
  EXPECT_EQ(hits, uint64_t{kThreads * kEach});
  // Every callback run prepares its thread for platform calls.
  EXPECT_GE(fake->init_thread_calls() - before, kThreads * kEach);
}

TEST(ScanWithoutBackend, StartReportsTheMissingAdapter) {
  auto svc = start_in_process(ble::make_none_platform(), {.start_supervisor = false, .start_listing = false});
  ASSERT_TRUE(svc.ok()) << svc.error();
  test::EventStream events(svc->port);
  ASSERT_TRUE(events.next());
  const std::string message = "未检测到蓝牙适配器 (no Bluetooth adapter (this build has no Bluetooth backend))";
  EXPECT_EQ(get_json(svc->port, "/api/scan/start"), error(message));
  EXPECT_TRUE(events.wait_log("scan blocked: " + message));
  EXPECT_EQ(get_json(svc->port, "/api/devices"), json::array());
}

}  // namespace
}  // namespace chair
