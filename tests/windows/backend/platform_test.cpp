// The backend's platform calls against the fake runtime: whether Bluetooth can be used, the
// advertisement scan, and how it waits for the runtime's operations.
#include <gmock/gmock.h>
#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>

#include <atomic>
#include <optional>

#include "backend_rig.h"
#include "ble/winrt/winrt_abi.h"

namespace chair::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using State = ble::Availability::State;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);

struct AvailabilityCase {
  const char* name;
  fakert::Options options;
  std::function<void()> fault;
  State state;
  const char* detail;  // part of the detail text
  friend void PrintTo(const AvailabilityCase& c, std::ostream* os) { *os << c.name; }
};

class Availability : public BackendTest, public ::testing::WithParamInterface<AvailabilityCase> {
 public:
  Availability() : BackendTest(GetParam().options) {}
};

TEST_P(Availability, FollowsAdapterAndRadio) {
  if (GetParam().fault) GetParam().fault();
  const ble::Availability a = platform().availability();
  EXPECT_EQ(a.state, GetParam().state);
  EXPECT_THAT(a.detail, HasSubstr(GetParam().detail));
  EXPECT_EQ(a.message.empty(), a.state == State::Ready);
  if (a.state == State::RadioOff) {
    EXPECT_EQ(a.message, "Windows 蓝牙未开启，请在「设置 → 蓝牙和其他设备」中打开蓝牙");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Availability,
    ::testing::Values(
        AvailabilityCase{"ready", {}, nullptr, State::Ready, ""},
        AvailabilityCase{"radio_off", {.powered = false}, nullptr, State::RadioOff, ""},
        AvailabilityCase{
            "no_adapter", {.adapter = false}, nullptr, State::NoAdapter, "the operation returned no result"},
        // The operation's own error code names the reason, not GetResults' refusal.
        AvailabilityCase{"adapter_lookup_fails",
                         {},
                         [] { fakert::fail_operation("BluetoothAdapter.GetDefaultAsync", kNotFound); },
                         State::NoAdapter,
                         "(0x80070490)"},
        AvailabilityCase{"adapter_call_fails",
                         {},
                         [] { fakert::fail_call("BluetoothAdapter.GetDefaultAsync", E_ACCESSDENIED); },
                         State::NoAdapter,
                         "(0x80070005)"},
        AvailabilityCase{"radio_unreadable",
                         {},
                         [] { fakert::fail_operation("BluetoothAdapter.GetRadioAsync", kNotFound); },
                         State::NoRadio,
                         "(0x80070490)"},
        AvailabilityCase{
            "radio_state_unreadable", {}, [] { fakert::fail_call("Radio.get_State", E_FAIL); }, State::RadioOff, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class Scanning : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    ASSERT_TRUE(fakert::add_device(std::string(kChair) + ",name=TAMRO-X1,rssi=-58"));
    ASSERT_TRUE(fakert::add_device("11:22:33:44:55:66,name=Phone,rssi=-70", false));
  }

  std::unique_ptr<ble::Scan> start() {
    auto scan = platform().start_scan([this](const ble::Advertisement& a) { seen_.add(a); });
    EXPECT_TRUE(scan) << scan.error();
    return scan ? std::move(*scan) : nullptr;
  }

  Collected<ble::Advertisement> seen_;
};

TEST_F(Scanning, DeliversEveryAdvertisementUntilStopped) {
  const size_t from = fakert::call_count();
  auto scan = start();
  EXPECT_EQ(
      calls_of(from, {"BluetoothLEAdvertisementWatcher."}),
      (std::vector<std::string>{
          "BluetoothLEAdvertisementWatcher.ActivateInstance", "BluetoothLEAdvertisementWatcher.put_ScanningMode(1)",
          "BluetoothLEAdvertisementWatcher.add_Received", "BluetoothLEAdvertisementWatcher.Start"}));
  fakert::announce();
  ASSERT_TRUE(seen_.wait_for(2));
  auto seen = seen_.items();
  std::sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) { return a.address < b.address; });
  // Every advertisement reaches the scanner; choosing chairs by name is its business.
  EXPECT_EQ(seen[0].address, 0x112233445566ULL);
  EXPECT_EQ(seen[0].local_name, "Phone");
  EXPECT_TRUE(seen[0].service_uuids.empty());
  EXPECT_EQ(seen[1].address, kChairAddress);
  EXPECT_EQ(seen[1].local_name, "TAMRO-X1");
  EXPECT_EQ(seen[1].rssi, std::optional<int16_t>(-58));
  ASSERT_EQ(seen[1].service_uuids.size(), 1u);
  EXPECT_EQ(seen[1].service_uuids[0].to_string(), "0000fff0-0000-1000-8000-00805f9b34fb");
  EXPECT_THAT(seen[1].company_ids, ElementsAre(0xFFFF));

  const size_t stopped_at = fakert::call_count();
  scan->stop();
  scan->stop();
  EXPECT_EQ(calls_of(stopped_at, {"BluetoothLEAdvertisementWatcher."}),
            (std::vector<std::string>{"BluetoothLEAdvertisementWatcher.Stop",
                                      "BluetoothLEAdvertisementWatcher.remove_Received"}));
  fakert::announce();
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(seen_.size(), 2u);
}

TEST_F(Scanning, DroppingTheScanStopsIt) {
  auto scan = start();
  scan.reset();
  EXPECT_EQ(calls_of(0, {"BluetoothLEAdvertisementWatcher.Stop", "BluetoothLEAdvertisementWatcher.remove_"}).size(),
            2u);
}

TEST_F(Scanning, NoHandlerCallStartsAfterStopReturns) {
  // Advertisements pour in from the runtime's thread while the scan is stopped from here;
  // one in flight when Stop is called must not reach the handler afterwards.
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0};
  auto scan = platform().start_scan([&](const ble::Advertisement&) {
    if (stopped.load()) ++late;
  });
  ASSERT_TRUE(scan);
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding.load()) fakert::announce();
  });
  std::this_thread::sleep_for(50ms);
  (*scan)->stop();
  stopped = true;
  std::this_thread::sleep_for(50ms);
  flooding = false;
  flood.join();
  ASSERT_TRUE(fakert::settle());
  EXPECT_EQ(late.load(), 0);
}

struct UnreadableCase {
  const char* call;
  std::function<void(const ble::Advertisement&)> expect;
  friend void PrintTo(const UnreadableCase& c, std::ostream* os) { *os << c.call; }
};

class UnreadableField : public Scanning, public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadableField, LeavesOnlyThatFieldOut) {
  auto scan = start();
  fakert::fail_call(GetParam().call, E_FAIL, 2);  // both devices
  fakert::announce();
  ASSERT_TRUE(seen_.wait_for(2));
  for (const auto& a : seen_.items()) {
    if (a.local_name == "Phone" || a.address == 0x112233445566ULL) continue;
    GetParam().expect(a);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, UnreadableField,
    ::testing::Values(UnreadableCase{"BluetoothLEAdvertisementReceivedEventArgs.get_BluetoothAddress",
                                     [](const ble::Advertisement& a) {
                                       if (a.local_name != "TAMRO-X1") return;
                                       EXPECT_EQ(a.address, 0u);
                                       EXPECT_EQ(a.rssi, std::optional<int16_t>(-58));
                                     }},
                      UnreadableCase{"BluetoothLEAdvertisementReceivedEventArgs.get_RawSignalStrengthInDBm",
                                     [](const ble::Advertisement& a) {
                                       EXPECT_EQ(a.rssi, std::nullopt);
                                       EXPECT_EQ(a.local_name, "TAMRO-X1");
                                     }},
                      UnreadableCase{"BluetoothLEAdvertisementReceivedEventArgs.get_Advertisement",
                                     [](const ble::Advertisement& a) {
                                       EXPECT_EQ(a.address, kChairAddress);
                                       EXPECT_EQ(a.local_name, std::nullopt);
                                       EXPECT_TRUE(a.service_uuids.empty());
                                       EXPECT_TRUE(a.company_ids.empty());
                                     }},
                      UnreadableCase{"BluetoothLEAdvertisement.get_LocalName",
                                     [](const ble::Advertisement& a) {
                                       EXPECT_EQ(a.local_name, std::nullopt);
                                       EXPECT_EQ(a.service_uuids.size(), 1u);
                                     }},
                      UnreadableCase{"BluetoothLEAdvertisement.get_ServiceUuids",
                                     [](const ble::Advertisement& a) {
                                       EXPECT_TRUE(a.service_uuids.empty());
                                       EXPECT_THAT(a.company_ids, ElementsAre(0xFFFF));
                                     }},
                      UnreadableCase{"BluetoothLEManufacturerData.get_CompanyId",
                                     [](const ble::Advertisement& a) {
                                       EXPECT_TRUE(a.company_ids.empty());
                                       EXPECT_EQ(a.local_name, "TAMRO-X1");
                                     }}),
    [](const auto& info) {
      std::string name = info.param.call;
      return name.substr(name.find('.') + 1);
    });

struct StartFailure {
  const char* call;
  friend void PrintTo(const StartFailure& c, std::ostream* os) { *os << c.call; }
};
class ScanStartFailure : public Scanning, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(ScanStartFailure, ReportsTheSystemsTextAndLeavesNothingBehind) {
  fakert::fail_call(GetParam().call, E_ACCESSDENIED);
  auto scan = platform().start_scan([](const ble::Advertisement&) {});
  ASSERT_FALSE(scan);
  EXPECT_THAT(scan.error(), HasSubstr("(0x80070005)"));
  // TearDown checks that the watcher went and no handler stayed registered.
}

INSTANTIATE_TEST_SUITE_P(Steps, ScanStartFailure,
                         ::testing::Values(StartFailure{"BluetoothLEAdvertisementWatcher.ActivateInstance"},
                                           StartFailure{"BluetoothLEAdvertisementWatcher.put_ScanningMode"},
                                           StartFailure{"BluetoothLEAdvertisementWatcher.add_Received"},
                                           StartFailure{"BluetoothLEAdvertisementWatcher.Start"}),
                         [](const auto& info) {
                           std::string name = info.param.call;
                           return name.substr(name.find('.') + 1);
                         });

TEST_F(Scanning, TheSimulatorsWordsDescribeTheWorldOfATestBuild) {
  // What chair-service-fakert.exe is started with: the radio off, announcements by time.
  ASSERT_TRUE(fakert::reset_from_args(
      {"--chair", std::string(kChair) + ",name=TAMRO-X1", "--powered-off", "--announce-interval", "20"}));
  EXPECT_EQ(platform().availability().state, State::RadioOff);
  EXPECT_EQ(fakert::control({"power", "on"}), "");
  EXPECT_EQ(platform().availability().state, State::Ready);
  auto scan = start();
  ASSERT_TRUE(seen_.wait_for(3)) << "announced again and again without being asked";
  EXPECT_EQ(seen_.items()[0].local_name, "TAMRO-X1");
  // The radio going off ends the scan on the system's side; nothing arrives after it.
  EXPECT_EQ(fakert::control({"power", "off"}), "");
  ASSERT_TRUE(fakert::settle());
  const size_t seen = seen_.size();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(seen_.size(), seen);
  scan->stop();
  EXPECT_EQ(fakert::control({"power"}), "error: power: want on or off");
}

class Waiting : public BackendTest {};

TEST_F(Waiting, AnOperationThatNeverEndsIsGivenUpAfter2001StatusReads) {
  ASSERT_TRUE(fakert::add_device(std::string(kChair) + ",name=TAMRO-X1"));
  fakert::hang_operation("BluetoothLEDevice.FromBluetoothAddressAsync");
  const auto start = std::chrono::steady_clock::now();
  auto opened = platform().open(kChairAddress);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(opened);
  EXPECT_EQ(fakert::status_reads("BluetoothLEDevice.FromBluetoothAddressAsync"), 2001);
  // The result is asked for whatever the status: the runtime refuses it while Started.
  EXPECT_THAT(opened.error(), HasSubstr("0x8000000E"));
  EXPECT_GE(took, 19s);
  EXPECT_LT(took, 40s);
}

TEST_F(Waiting, EveryEntryPointPreparesItsOwnThread) {
  ASSERT_TRUE(fakert::add_device(std::string(kChair) + ",name=TAMRO-X1"));
  std::unique_ptr<ble::Scan> scan;
  ble::ConnectionPtr link;
  std::vector<ble::GattCharacteristic> characteristics;
  on_fresh_thread([&] { EXPECT_EQ(platform().availability().state, State::Ready); });
  on_fresh_thread([&] {
    auto started = platform().start_scan([](const ble::Advertisement&) {});
    ASSERT_TRUE(started);
    scan = std::move(*started);
  });
  on_fresh_thread([&] { scan->stop(); });
  on_fresh_thread([&] {
    auto opened = platform().open(kChairAddress);
    ASSERT_TRUE(opened) << opened.error();
    link = *opened;
  });
  on_fresh_thread([&] { EXPECT_TRUE(link->name()); });
  on_fresh_thread([&] {
    auto services = link->services();
    ASSERT_TRUE(services && !services->empty());
    auto found = link->characteristics(services->front());
    ASSERT_TRUE(found);
    characteristics = *found;
  });
  on_fresh_thread([&] { EXPECT_TRUE(link->connected()); });
  on_fresh_thread([&] {
    EXPECT_TRUE(link->subscribe(characteristics.front(), ble::Subscription::Notify, [](std::span<const uint8_t>) {}));
  });
  on_fresh_thread([&] {
    const uint8_t query[] = {0x55, 0x01, 0x0A, 0x02, 0x00, 0x09, 0xAA};
    auto written = link->write(characteristics.front(), query, ble::WriteOption::WithoutResponse);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(*written, ble::GattStatus::Success);
  });
  on_fresh_thread([&] { link->close(); });
  on_fresh_thread([&] { link.reset(); });
  on_fresh_thread([&] { scan.reset(); });
  // TearDown names every call that reached the runtime from a thread outside an apartment.
}

// The identifier of a parameterised interface as the runtime computes it: SHA-1 over the
// namespace 11f47ad5-7b73-42c0-abae-878b1e16adee and the type signature, made a version 5 GUID.
GUID parameterised_iid(const std::string& signature) {
  std::string data = "\x11\xf4\x7a\xd5\x7b\x73\x42\xc0\xab\xae\x87\x8b\x1e\x16\xad\xee" + signature;
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  UCHAR h[20] = {};
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, 0), 0);
  EXPECT_EQ(BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0), 0);
  EXPECT_EQ(BCryptHashData(hash, reinterpret_cast<UCHAR*>(data.data()), static_cast<ULONG>(data.size()), 0), 0);
  EXPECT_EQ(BCryptFinishHash(hash, h, sizeof h, 0), 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  return GUID{static_cast<DWORD>(h[0] << 24 | h[1] << 16 | h[2] << 8 | h[3]),
              static_cast<WORD>(h[4] << 8 | h[5]),
              static_cast<WORD>(((h[6] << 8 | h[7]) & 0x0fff) | 0x5000),
              {static_cast<UCHAR>((h[8] & 0x3f) | 0x80), h[9], h[10], h[11], h[12], h[13], h[14], h[15]}};
}

// The fake runtime takes any delegate it is given: only this test holds the three computed
// identifiers to the signatures of TypedEventHandler<sender, arguments>.
TEST(DelegateIds, AreTheRuntimesOwnForTheirSignatures) {
  const std::string handler = "pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Windows.Devices.Bluetooth.";
  const std::string watcher =
      "Advertisement.BluetoothLEAdvertisementWatcher;{a6ac336f-f3d3-4297-8d6c-c81ea6623f40});rc(Windows.Devices."
      "Bluetooth.Advertisement.BluetoothLEAdvertisement";
  const std::pair<std::string, GUID> delegates[] = {
      {handler + watcher + "ReceivedEventArgs;{27987ddf-e596-41be-8d43-9e6731d4a913}))",
       ble::winrt::abi::IID_IReceivedHandler},
      {handler + watcher + "WatcherStoppedEventArgs;{dd40f84d-e7b9-43e3-9c04-0685d085fd8c}))",
       ble::winrt::abi::IID_IStoppedHandler},
      {handler + "GenericAttributeProfile.GattCharacteristic;{59cb50c1-5934-4f68-a198-eb864fa44e6b});rc(Windows."
                 "Devices.Bluetooth.GenericAttributeProfile.GattValueChangedEventArgs;{d21bdb54-06e3-4ed8-a263-"
                 "acfac8ba7313}))",
       ble::winrt::abi::IID_IValueChangedHandler},
  };
  for (const auto& [signature, declared] : delegates)
    EXPECT_TRUE(parameterised_iid(signature) == declared) << signature;
}

}  // namespace
}  // namespace chair::test
