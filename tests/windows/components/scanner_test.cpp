// The service's scanner on the Windows backend over the fake runtime: which advertisements
// become chairs, with what they carry, and that a stopped scan records nothing more.
#include <gmock/gmock.h>

#include <set>

#include "backend/backend_rig.h"
#include "ble/scanner/scanner.h"

namespace chair::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class Records final : public ble::ScanEvents {
 public:
  void on_device(ble::DeviceRecord record) override { seen.add(std::move(record)); }
  Collected<ble::DeviceRecord> seen;
};

class ScannerOnTheRuntime : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    for (const char* chair : {"C0:FF:EE:01:02:0A,name=TAMRO-X1,rssi=-58",
                              "C0:FF:EE:01:02:0B,alias=TAMRO-Study,paired",  // advertises no name
                              "C0:FF:EE:01:02:0C",                           // nameless, unknown
                              "C0:FF:EE:01:02:0D,name=Chair TAMRO",          // the word not first
                              "C0:FF:EE:01:02:0E,name=tamro 座椅"}) {        // lower case, not ASCII
      ASSERT_TRUE(fakert::add_device(chair));
    }
    ASSERT_TRUE(fakert::add_device("11:22:33:44:55:66,name=Phone", false));
    scanner_ = std::make_unique<ble::Scanner>(platform_, records_, [](const std::string& address) {
      return address == "C0:FF:EE:01:02:0B" ? std::string("TAMRO-Study") : std::string();
    });
  }
  void TearDown() override {
    scanner_.reset();
    BackendTest::TearDown();
  }

  std::set<std::string> addresses_seen() {
    std::set<std::string> out;
    for (const auto& r : records_.seen.items()) out.insert(r.address);
    return out;
  }

  Records records_;
  std::unique_ptr<ble::Scanner> scanner_;
};

TEST_F(ScannerOnTheRuntime, KeepsChairsByTheirOwnOrTheirPairedNameUntilStopped) {
  scanner_->begin();
  ASSERT_TRUE(scanner_->start());
  for (int i = 0; i < 3; ++i) fakert::announce();
  ASSERT_TRUE(eventually([&] {
    auto devices = scanner_->devices();
    return devices.size() == 3 &&
           std::all_of(devices.begin(), devices.end(), [](const auto& d) { return d.hits == 3; });
  })) << records_.seen.size();
  EXPECT_EQ(addresses_seen(), (std::set<std::string>{"C0:FF:EE:01:02:0A", "C0:FF:EE:01:02:0B", "C0:FF:EE:01:02:0E"}));
  EXPECT_EQ(scanner_->recorded_name("c0ffee01020b"), "TAMRO-Study") << "the paired name stands in";
  EXPECT_EQ(scanner_->recorded_name("C0:FF:EE:01:02:0E"), "tamro 座椅") << "the name's text arrives intact";
  for (const auto& d : scanner_->devices()) {
    if (d.address != "C0:FF:EE:01:02:0A") continue;
    EXPECT_EQ(d.name, "TAMRO-X1");
    EXPECT_EQ(d.rssi, -58);
    EXPECT_THAT(d.services, ElementsAre("fff0"));
    EXPECT_THAT(d.vendors, ElementsAre(0xFFFF));
  }

  scanner_->stop();
  EXPECT_FALSE(scanner_->scanning());
  const size_t seen = records_.seen.size();
  fakert::announce();
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(records_.seen.size(), seen);
  EXPECT_EQ(scanner_->devices().size(), 3u) << "the table stays after the scan";
}

TEST_F(ScannerOnTheRuntime, AFreshScanStopsTheRunningWatcherAndStartsEmpty) {
  scanner_->begin();
  ASSERT_TRUE(scanner_->start());
  fakert::announce();
  ASSERT_TRUE(records_.seen.wait_for(3));
  const size_t from = fakert::call_count();
  scanner_->begin();
  EXPECT_TRUE(scanner_->devices().empty());
  ASSERT_TRUE(scanner_->start());
  EXPECT_EQ(
      calls_of(from, {"BluetoothLEAdvertisementWatcher.Stop", "BluetoothLEAdvertisementWatcher.Start"}),
      (std::vector<std::string>{"BluetoothLEAdvertisementWatcher.Stop", "BluetoothLEAdvertisementWatcher.Start"}));
  fakert::announce();
  ASSERT_TRUE(eventually([&] { return scanner_->devices().size() == 3; }));
  for (const auto& d : scanner_->devices()) EXPECT_EQ(d.hits, 1u) << d.address;
}

TEST_F(ScannerOnTheRuntime, AWatcherThatDoesNotStartLeavesScanningOff) {
  fakert::fail_call("BluetoothLEAdvertisementWatcher.Start", E_ACCESSDENIED);
  scanner_->begin();
  const Status started = scanner_->start();
  ASSERT_FALSE(started);
  EXPECT_THAT(started.error(), HasSubstr("(0x80070005)"));
  EXPECT_FALSE(scanner_->scanning());
}

}  // namespace
}  // namespace chair::test
