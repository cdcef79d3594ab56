// What only the Windows build shows of the service's chair link: the supervisor's health check
// reads the connection status the system keeps for the link, one call a reading, and a status
// that cannot be read counts as no connection; a write whose buffer cannot be made tries no
// write option. The rest of the link, and the scanner, run in the shared scenarios
// (tests/e2e/scenarios) on this build's whole service.
#include <gtest/gtest.h>

#include <atomic>

#include "backend/backend_rig.h"
#include "ble/link/chair_link.h"
#include "ble/protocol/commands.h"

namespace chair::test {
namespace {

using Health = ble::ChairLink::Health;

// Whether the link says it is connected; only the water switch goes out after connecting.
class LinkState final : public ble::LinkEvents, public ble::LinkDirectory {
 public:
  void on_link_log(std::string) override {}
  void on_link_status(ble::LinkStatus status, const std::string&) override {
    connected = status == ble::LinkStatus::Connected;
  }
  void on_chair_status(ble::ChairStatus) override {}
  std::string remembered_name(const std::string&) override { return ""; }
  ble::InitConfig initial_settings() override { return {.water = "off", .coolLevel = 0, .lumbar = 0}; }
  std::atomic<bool> connected{false};
};

class LinkOnTheRuntime : public BackendTest {};

TEST_F(LinkOnTheRuntime, TheHealthCheckReadsTheConnectionStatusAndABufferFailureEndsAWrite) {
  ASSERT_TRUE(fakert::add_device(std::string(kChair) + ",name=TAMRO-X1"));
  LinkState state;
  ble::LinkTimings timings;
  timings.poll_interval = std::chrono::hours(1);
  auto link = std::make_unique<ble::ChairLink>(platform_, state, state, timings);
  ASSERT_TRUE(link->connect(kChair));
  ASSERT_TRUE(eventually([&] { return state.connected.load(); }));
  // The initial settings are out: nothing but the check reads the status from here on.
  ASSERT_TRUE(eventually([] {
    const auto writes = fakert::writes(kChair);
    return !writes.empty() && writes.back().ends_with("55 07 0A 02 04 0B AA");
  }));

  const uint64_t generation = link->view().generation;
  size_t from = fakert::call_count();
  EXPECT_EQ(link->check_health(generation, 3, 10ms), Health::Healthy);
  EXPECT_EQ(calls_of(from, {"BluetoothLEDevice.get_ConnectionStatus"}).size(), 1u);

  ASSERT_EQ(fakert::control({"drop", kChair}), "");
  from = fakert::call_count();
  EXPECT_EQ(link->check_health(generation, 3, 10ms), Health::Lost);
  EXPECT_EQ(calls_of(from, {"BluetoothLEDevice.get_ConnectionStatus"}).size(), 3u) << "every reading taken";

  ASSERT_EQ(fakert::control({"present", kChair}), "");
  EXPECT_EQ(link->check_health(generation, 3, 10ms), Health::Healthy) << "the session brought the link back";
  fakert::fail_call("BluetoothLEDevice.get_ConnectionStatus", E_FAIL);
  EXPECT_EQ(link->check_health(generation, 3, 10ms), Health::Lost) << "an unreadable status is no connection";

  // A write whose buffer cannot be made tries neither write option.
  from = fakert::call_count();
  fakert::fail_call("DataWriter.DetachBuffer", E_OUTOFMEMORY);
  const Status written = link->send_level(ble::kCold, 5);
  EXPECT_NE(written.error().find("0x8007000E"), std::string::npos) << written.error();
  EXPECT_TRUE(calls_of(from, {"GattCharacteristic.WriteValueWithOptionAsync"}).empty());

  link->teardown();
  EXPECT_EQ(link->check_health(generation, 3, 10ms), Health::Replaced);
}

}  // namespace
}  // namespace chair::test
