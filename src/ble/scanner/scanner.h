// The advertisement scanner: owns the table of chairs found and the one scanning flag.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ble/platform/platform.h"
#include "ble/scanner/device_record.h"
#include "common/result.h"
#include "common/seeded_hash.h"

namespace chair::ble {

std::string short_uuid(const Uuid& uuid);  // 180f for the Bluetooth base range
// The name filter: leading Unicode white space ignored, then the product word "TAMRO" at the
// start, compared as the full Unicode upper-case form of the name.
bool is_chair_name(std::string_view name);

// What the scanner tells the layer above: every accepted advertisement, as the record now
// stands. Called on platform threads, never under a lock of the scanner.
class ScanEvents {
 public:
  virtual ~ScanEvents() = default;
  virtual void on_device(DeviceRecord record) = 0;
};

class Scanner {
 public:
  // `paired_name` gives the name a chair was paired under ("" for none); it stands in for a
  // chair that advertises no name.
  Scanner(PlatformPtr platform, ScanEvents& events, std::function<std::string(const std::string&)> paired_name);
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // A fresh scan: the table is emptied, scanning is on, a scan still running is stopped.
  void begin();
  // Starts the platform's scan for the latest begin(). On failure scanning is off again. A
  // scan that a stop (or a newer start) overtook while it started is stopped at once.
  Status start();
  // Scanning off; the table stays.
  void stop();

  bool scanning() const;
  std::vector<DeviceRecord> devices() const;
  // The name recorded for this address (colons optional, any letter case), "" when none.
  std::string recorded_name(std::string_view address) const;

  // The platform's advertisement callback; public for tests that feed it directly.
  void on_advertisement(const Advertisement& advertisement);

 private:
  PlatformPtr platform_;
  ScanEvents& events_;
  std::function<std::string(const std::string&)> paired_name_;
  mutable std::mutex mutex_;
  bool scanning_ = false;
  uint64_t begun_ = 0;  // counts begin(), so a start knows whether it is still the latest
  std::unique_ptr<Scan> scan_;
  std::unordered_map<std::string, DeviceRecord, SeededHash> entries_;
};

}  // namespace chair::ble
