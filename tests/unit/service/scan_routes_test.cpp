// The scan routes: what the UI is told (replies and events) and the policy around a scan.
#include <gtest/gtest.h>

#include "ble/none/none_platform.h"
#include "service_rig.h"

namespace chair::test {
namespace {

using nlohmann::json;

constexpr const char* kRadioOff = "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on";

json ok() { return json{{"ok", true}}; }
json error(const std::string& text) { return json{{"error", text}, {"ok", false}}; }

struct ScanRig : ServiceRig {
  ScanRig() {
    // An empty platform listing keeps the service from looking for PowerShell.
    fake->set_paired_names(ble::PairedNames{});
    start();
  }
};

TEST(ScanRoutes, StartAdvertiseListAndStopAsTheUISeesIt) {
  ScanRig rig;
  EXPECT_EQ(rig.call("/api/scan/start"), ok());
  EXPECT_EQ(rig.events->next(), R"({"type":"status","status":"scanning"})");
  EXPECT_EQ(rig.events->next(), R"({"type":"log","log":"scan started"})");

  ble::Advertisement seen = advert(kChairAddress, "TAMRO S1", -70);
  seen.service_uuids = {uuid("0000fe95-0000-1000-8000-00805f9b34fb")};
  seen.company_ids = {0x0590};
  rig.fake->advertise(seen);
  EXPECT_EQ(rig.events->next(),
            R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"TAMRO S1","rssi":-70,)"
            R"("hits":1,"lastSeen":"","services":["fe95"],"vendors":[1424]}})");
  // The listing's members are in ascending order, like every reply body.
  auto listed = get(rig.port(), "/api/devices");
  EXPECT_EQ(listed.body, R"([{"address":"C0:FF:EE:01:02:0A","hits":1,"lastSeen":"","name":"TAMRO S1",)"
                         R"("rssi":-70,"services":["fe95"],"vendors":[1424]}])");

  for (int i = 0; i < 2; ++i) {  // stopping twice is harmless and still reported
    EXPECT_EQ(rig.call("/api/scan/stop"), ok());
    EXPECT_EQ(rig.events->next(), R"({"type":"status","status":"idle"})");
    EXPECT_EQ(rig.events->next(), R"({"type":"log","log":"scan stopped"})");
  }
  EXPECT_EQ(rig.call("/api/devices").size(), 1u);
  EXPECT_FALSE(rig.svc().scanner().scanning());
}

TEST(ScanRoutes, BluetoothUnavailableBlocksTheStartAndChangesNothing) {
  ScanRig rig;
  ASSERT_EQ(rig.call("/api/scan/start"), ok());
  rig.fake->advertise(advert(kChairAddress, "TAMRO S1"));
  ASSERT_EQ(rig.call("/api/devices").size(), 1u);
  rig.drained();

  struct Case {
    ble::Availability availability;
    std::string message;
  } cases[] = {
      {ble::Availability::radio_off(kRadioOff), kRadioOff},
      {ble::Availability::no_radio("radio gone"), "无法获取蓝牙无线电状态 (radio gone)"},
      {ble::Availability::no_adapter("adapter gone"), "未检测到蓝牙适配器 (adapter gone)"},
  };
  for (auto& c : cases) {
    rig.fake->set_availability(c.availability);
    EXPECT_EQ(rig.call("/api/scan/start"), error(c.message));
    // The scan start logs as it always has; the change itself is a record of its own.
    EXPECT_EQ(rig.drain(), (std::vector<std::string>{"bluetooth", "log:scan blocked: " + c.message}));
    rig.fake->set_availability({});
  }
  EXPECT_EQ(rig.fake->scans_running(), 1);
  EXPECT_EQ(rig.call("/api/devices").size(), 1u);
  EXPECT_TRUE(rig.svc().scanner().scanning());
}

TEST(ScanRoutes, BluetoothStateIsToldWhenItChangesAndToNewStreams) {
  ScanRig rig;
  EXPECT_EQ(rig.call("/api/bluetooth"), (json{{"message", ""}, {"state", "ready"}}));
  rig.fake->set_availability(ble::Availability::radio_off(kRadioOff));
  EXPECT_EQ(rig.call("/api/bluetooth"), (json{{"message", kRadioOff}, {"state", "radioOff"}}));
  EXPECT_EQ(rig.call("/api/bluetooth")["state"], "radioOff");
  EXPECT_EQ(rig.drain(),
            (std::vector<std::string>{"bluetooth", "log:bluetooth unavailable: " + std::string(kRadioOff)}));

  EventStream late(rig.port());
  EXPECT_EQ(late.next(), R"({"type":"status","status":"idle"})");
  EXPECT_EQ(late.next(), R"({"type":"bluetooth","state":"radioOff","message":")" + std::string(kRadioOff) + "\"}");
  rig.fake->set_availability({});
  EXPECT_EQ(rig.call("/api/bluetooth")["state"], "ready");
  EXPECT_EQ(late.next(), R"({"type":"bluetooth","state":"ready","message":""})");
  EXPECT_EQ(late.next(), R"({"type":"log","log":"bluetooth ready"})");
}

TEST(ScanRoutes, AFailedStartIsReportedAndLeavesScanningOff) {
  ScanRig rig;
  ASSERT_EQ(rig.call("/api/scan/start"), ok());
  rig.fake->advertise(advert(kChairAddress, "TAMRO S1"));
  rig.drained();

  rig.fake->set_scan_error("radio busy");
  EXPECT_EQ(rig.call("/api/scan/start"), error("radio busy"));
  EXPECT_EQ(rig.drain(), (std::vector<std::string>{"status:scanning", "log:scan started", "status:idle",
                                                   "log:scan error: radio busy"}));
  EXPECT_EQ(rig.call("/api/devices"), json::array());
  EXPECT_FALSE(rig.svc().scanner().scanning());
}

TEST(ScanRoutes, PairedNamesAreRefreshedAtEveryStart) {
  ScanRig rig;
  rig.fake->set_paired_names(ble::PairedNames{{"C0FFEE01020A", "TAMRO Paired"}});
  ASSERT_EQ(rig.call("/api/scan/start"), ok());
  ASSERT_TRUE(eventually([&] { return rig.svc().paired().lookup(kChairText) == "TAMRO Paired"; }));
  rig.fake->advertise(advert(kChairAddress, ""));
  auto e = rig.events->wait_for(type_is("device"));
  ASSERT_TRUE(e);
  EXPECT_EQ((*e)["device"]["name"], "TAMRO Paired");
}

TEST(ScanRoutes, StartEndsAHandshakeButNotAConnectedLink) {
  ScanRig rig;
  auto chair = add_answering_chair(*rig.fake);
  ASSERT_EQ(rig.connect(), ok());
  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));
  ASSERT_EQ(rig.call("/api/scan/start"), ok());
  EXPECT_EQ(rig.svc().link().view().phase, ble::LinkPhase::Connected);

  // A chair whose services never show: its link stays in the handshake.
  auto stuck = add_chair(*rig.fake, {}, "TAMRO stuck", 0xC0FFEE0B0B0B);
  FakeDiscovery never;
  never.error = "unreachable";
  stuck.device->script_discovery({never});
  ASSERT_EQ(rig.connect("C0:FF:EE:0B:0B:0B"), ok());
  ASSERT_TRUE(eventually([&] { return rig.svc().link().view().phase == ble::LinkPhase::Opening; }));
  ASSERT_EQ(rig.call("/api/scan/start"), ok());
  EXPECT_EQ(rig.svc().link().view().phase, ble::LinkPhase::Closed);
}

TEST(ConnectRoute, ABlankAddressIsMissing) {
  ScanRig rig;
  for (const char* target :
       {"/api/connect", "/api/connect?addr=", "/api/connect?addr=%20%09", "/api/connect?addr=%E3%80%80"})
    EXPECT_EQ(rig.call(target), error("missing addr param")) << target;
  EXPECT_EQ(rig.svc().link().view().phase, ble::LinkPhase::Closed);
}

TEST(ScanWithoutBackend, StartReportsTheMissingAdapter) {
  DataDir dir;
  ServiceOptions options;
  options.start_supervisor = options.start_listing = false;
  options.binding_file = dir.file();
  auto svc = start_in_process(ble::make_none_platform(), options);
  ASSERT_TRUE(svc.ok()) << svc.error();
  EventStream events(svc->port);
  ASSERT_TRUE(events.next());
  const std::string message = "未检测到蓝牙适配器 (no Bluetooth adapter (this build has no Bluetooth backend))";
  EXPECT_EQ(get_json(svc->port, "/api/scan/start"), error(message));
  EXPECT_TRUE(events.wait_log("scan blocked: " + message));
  EXPECT_EQ(get_json(svc->port, "/api/devices"), json::array());
}

}  // namespace
}  // namespace chair::test
