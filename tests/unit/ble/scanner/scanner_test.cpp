// The scanner on a stand-in platform: what it records, what it drops, and how starts and
// stops overlap.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "ble/scanner/scanner.h"

namespace chair::ble {
namespace {

constexpr uint64_t kChair = 0xC0FFEE01020A;
constexpr uint64_t kOther = 0xC0FFEE01020B;
constexpr const char* kChairText = "C0:FF:EE:01:02:0A";

// Scans that deliver whatever the test advertises until they are stopped.
class ScanPlatform : public Platform {
 public:
  struct Running : Scan {
    ScanPlatform* owner;
    int id;
    void stop() override { owner->stopped(id); }
  };

  Availability availability() override { return {}; }
  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler handler) override {
    if (on_start) on_start();
    if (start_error) return fail(*start_error);
    auto scan = std::make_unique<Running>();
    scan->owner = this;
    std::lock_guard lock(mutex);
    scan->id = ++started;
    handlers[scan->id] = std::move(handler);
    return std::unique_ptr<Scan>(std::move(scan));
  }
  Result<ConnectionPtr> open(uint64_t) override { return fail("unused"); }
  Result<PairedNames> paired_device_names() override { return fail("unused"); }

  void stopped(int id) {
    std::lock_guard lock(mutex);
    handlers.erase(id);
  }
  int running() {
    std::lock_guard lock(mutex);
    return static_cast<int>(handlers.size());
  }
  void advertise(const Advertisement& a) {
    std::vector<AdvertisementHandler> now;
    {
      std::lock_guard lock(mutex);
      for (auto& [id, h] : handlers) now.push_back(h);
    }
    for (auto& h : now) h(a);
  }

  std::function<void()> on_start;
  std::optional<std::string> start_error;
  std::mutex mutex;
  std::map<int, AdvertisementHandler> handlers;
  int started = 0;
};

struct Recorder : ScanEvents {
  void on_device(DeviceRecord record) override {
    std::lock_guard lock(mutex);
    records.push_back(std::move(record));
  }
  std::vector<DeviceRecord> taken() {
    std::lock_guard lock(mutex);
    return std::exchange(records, {});
  }
  std::mutex mutex;
  std::vector<DeviceRecord> records;
};

Advertisement named(uint64_t address, std::optional<std::string> name, std::optional<int16_t> rssi = -60) {
  Advertisement a;
  a.address = address;
  a.local_name = std::move(name);
  a.rssi = rssi;
  return a;
}

Uuid uuid(const char* text) { return *Uuid::parse(text); }

class ScannerTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScanPlatform> platform = std::make_shared<ScanPlatform>();
  Recorder events;
  std::map<std::string, std::string> paired;  // set before the scan starts
  Scanner scanner{platform, events, [this](const std::string& address) {
                    auto it = paired.find(address);
                    return it == paired.end() ? std::string() : it->second;
                  }};

  void scan() {
    scanner.begin();
    ASSERT_TRUE(scanner.start().ok());
  }
  DeviceRecord only_device() {
    auto all = scanner.devices();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? DeviceRecord{} : all.front();
  }
};

TEST_F(ScannerTest, AcceptedAdvertisementsAreMergedIntoOneRecordPerChair) {
  scan();
  Advertisement first = named(kChair, "  tamro-S1", -70);
  first.service_uuids = {uuid("0000fe95-0000-1000-8000-00805f9b34fb"), uuid("7772E5DB-3868-4112-A1A9-F2669D106BF3"),
                         uuid("0000fe95-0000-1000-8000-00805f9b34fb")};
  first.company_ids = {0x0590, 0x004C};
  platform->advertise(first);

  // Unreadable signal strength reads as 0; identifiers merge in the order first seen.
  Advertisement second = named(kChair, "TAMRO S1", std::nullopt);
  second.service_uuids = {uuid("0000180f-0000-1000-8000-00805f9b34fb"), uuid("0000fe95-0000-1000-8000-00805f9b34fb")};
  second.company_ids = {0x004C, 0x0001};
  platform->advertise(second);

  const DeviceRecord after_first{
      kChairText, "  tamro-S1", -70, 1, "", {"fe95", "7772e5db-3868-4112-a1a9-f2669d106bf3"}, {0x0590, 0x004C}};
  const DeviceRecord after_second{kChairText,
                                  "TAMRO S1",
                                  0,
                                  2,
                                  "",
                                  {"fe95", "7772e5db-3868-4112-a1a9-f2669d106bf3", "180f"},
                                  {0x0590, 0x004C, 0x0001}};
  EXPECT_EQ(events.taken(), (std::vector<DeviceRecord>{after_first, after_second}));
  EXPECT_EQ(only_device(), after_second);
  EXPECT_EQ(scanner.recorded_name("c0ffee01020a"), "TAMRO S1");
  EXPECT_EQ(scanner.recorded_name("C0:FF:EE:01:02:0B"), "");
}

TEST_F(ScannerTest, PairedNameStandsInOnlyWhileTheChairAdvertisesNoName) {
  paired = {{kChairText, "TAMRO Paired"}, {"C0:FF:EE:01:02:0B", "Not a chair"}};
  scan();
  auto name_after = [&](const Advertisement& a) {
    platform->advertise(a);
    auto taken = events.taken();
    return taken.empty() ? std::string("<dropped>") : taken.back().name;
  };
  EXPECT_EQ(name_after(named(kChair, std::nullopt)), "TAMRO Paired");
  EXPECT_EQ(name_after(named(kChair, "TAMRO Own")), "TAMRO Own");
  EXPECT_EQ(name_after(named(kChair, "")), "TAMRO Own");
  // The advertised name is what the filter judges, even when the paired name would pass.
  EXPECT_EQ(name_after(named(kChair, "Other")), "<dropped>");
  EXPECT_EQ(name_after(named(kOther, std::nullopt)), "<dropped>");
  EXPECT_EQ(name_after(named(0x0A0A0A0A0A0A, std::nullopt)), "<dropped>");
}

TEST_F(ScannerTest, AdvertisementsThatFailTheFilterAreDropped) {
  scan();
  for (const auto& a : {named(kChair, "X TAMRO"), named(kChair, ""), named(kChair, "TAMR"), named(0, "TAMRO"),
                        named(kChair, std::nullopt)})
    platform->advertise(a);
  EXPECT_TRUE(events.taken().empty());
  EXPECT_TRUE(scanner.devices().empty());

  // A broken name still goes out as valid UTF-8.
  platform->advertise(named(kChair, "TAMRO \xFF"));
  EXPECT_EQ(only_device().name, "TAMRO \xEF\xBF\xBD");
}

TEST_F(ScannerTest, StopKeepsTheTableAndRecordsNothingAfterIt) {
  scan();
  platform->advertise(named(kChair, "TAMRO S1"));
  scanner.stop();
  EXPECT_FALSE(scanner.scanning());
  EXPECT_EQ(platform->running(), 0);

  // A callback already under way when the scan stopped changes nothing.
  events.taken();
  scanner.on_advertisement(named(kChair, "TAMRO late"));
  scanner.on_advertisement(named(kOther, "TAMRO late"));
  EXPECT_TRUE(events.taken().empty());
  EXPECT_EQ(only_device().name, "TAMRO S1");
  scanner.stop();  // harmless

  // The next scan empties the table and replaces the platform's scan.
  scan();
  EXPECT_TRUE(scanner.devices().empty());
  scan();
  EXPECT_EQ(platform->started, 3);
  EXPECT_EQ(platform->running(), 1);
  platform->advertise(named(kChair, "TAMRO S1"));
  EXPECT_EQ(only_device().hits, 1u);
}

TEST_F(ScannerTest, FailedStartLeavesScanningOffWithAnEmptyTable) {
  scan();
  platform->advertise(named(kChair, "TAMRO S1"));
  platform->start_error = "radio busy";
  scanner.begin();
  EXPECT_TRUE(scanner.scanning());
  auto started = scanner.start();
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error(), "radio busy");
  EXPECT_FALSE(scanner.scanning());
  EXPECT_TRUE(scanner.devices().empty());
  EXPECT_EQ(platform->running(), 0);
}

// A platform scan that is not kept must be stopped, or it goes on delivering unseen.
TEST_F(ScannerTest, OverlappingStartsAndStopsLeaveAtMostOneScanRunning) {
  // A stop that lands while the platform starts the scan: nothing runs afterwards.
  platform->on_start = [&] { scanner.stop(); };
  scan();
  EXPECT_EQ(platform->running(), 0);
  EXPECT_FALSE(scanner.scanning());

  // A newer scan that completes while the older one starts: one scan runs, the newer one.
  bool nested = false;
  platform->on_start = [&] {
    if (std::exchange(nested, true)) return;
    scanner.begin();
    EXPECT_TRUE(scanner.start().ok());
  };
  scan();
  EXPECT_EQ(platform->running(), 1);
  EXPECT_TRUE(scanner.scanning());
  platform->advertise(named(kChair, "TAMRO S1"));
  EXPECT_EQ(only_device().hits, 1u);
}

TEST_F(ScannerTest, ConcurrentAdvertisementsAreAllCounted) {
  scan();
  constexpr int kThreads = 4, kEach = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) platform->advertise(named(t % 2 ? kChair : kOther, "TAMRO"));
    });
  for (auto& t : threads) t.join();
  uint64_t hits = 0;
  for (auto& d : scanner.devices()) hits += d.hits;
  EXPECT_EQ(hits, uint64_t{kThreads * kEach});
  EXPECT_EQ(events.taken().size(), size_t{kThreads * kEach});
}

}  // namespace
}  // namespace chair::ble
