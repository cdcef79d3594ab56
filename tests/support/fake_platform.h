// A scripted, in-process Bluetooth platform for tests: it records every call that reaches a
// chair and answers with canned replies. Every object is thread-safe; scripting calls may be
// made from the test thread while the service works on its own threads.
//
//   auto fake = std::make_shared<FakePlatform>();
//   auto data = std::make_shared<FakeCharacteristic>(ble::kDataCharacteristicUuid,
//                                                    ble::kPropWrite | ble::kPropNotify);
//   data->on_write([&](const Bytes& b) { data->notify(reply_for(b)); });
//   auto chair = std::make_shared<FakeDevice>("TAMRO S1");
//   chair->set_services({std::make_shared<FakeService>("0000fff0-...", Chars{data})});
//   fake->add_device(0xC0FFEE01020A, chair);
//   fake->advertise(advert(0xC0FFEE01020A, "TAMRO S1"));
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/platform/platform.h"

namespace chair::test {

using Bytes = std::vector<uint8_t>;
struct FakeCore;  // the platform's shared state

// A parsed identifier; the text must be a valid UUID.
ble::Uuid uuid(std::string_view text);

// An advertisement with a name (or none) and a signal strength.
ble::Advertisement advert(uint64_t address, std::optional<std::string> name, int16_t rssi = -60);

// A scripted sequence of answers: each read takes the next one, the last one repeats.
template <class T>
class Script {
 public:
  Script(T only) : steps_{std::move(only)} {}
  Script(std::vector<T> steps) : steps_(std::move(steps)) {}
  // Never empty: the setters ignore an empty script.
  T take() {
    T v = steps_[std::min(next_, steps_.size() - 1)];
    if (next_ < steps_.size()) ++next_;
    return v;
  }

 private:
  std::vector<T> steps_;
  size_t next_ = 0;
};

class FakeCharacteristic {
 public:
  struct Write {
    Bytes bytes;
    ble::WriteOption option;
    bool operator==(const Write&) const = default;
  };
  // A GATT status, or a platform error text.
  using Outcome = Result<ble::GattStatus>;

  FakeCharacteristic(std::string_view uuid_text, uint32_t properties);

  // Scripting.
  void set_uuid_error();  // discovery reports the UUID as unreadable
  void set_properties(uint32_t properties);
  void set_write_result(ble::WriteOption option, Outcome outcome);
  // Writes with this option answer in turn, the last answer repeating.
  void script_write_results(ble::WriteOption option, std::vector<Outcome> outcomes);
  void set_subscribe_result(Outcome outcome);
  // Called with the bytes of every successful write, on the writer's thread and outside any
  // lock of the fake, so it may call notify(): this is how a chair model answers.
  void on_write(std::function<void(const Bytes&)> hook);

  // Pushes a notification to every subscribed handler, on the calling thread.
  void notify(const Bytes& bytes);

  // Records.
  std::vector<Write> writes() const;                     // every attempted write, in order, failed ones too
  std::vector<ble::Subscription> subscriptions() const;  // every subscription attempt
  int handlers_added() const;
  int handlers_removed() const;
  int handlers_active() const;

 private:
  friend class FakeConnectionImpl;
  friend class FakeService;
  std::optional<ble::Uuid> uuid() const;
  uint32_t properties() const;
  Result<ble::GattStatus> subscribe(int64_t token, ble::Subscription kind, ble::NotificationHandler handler);
  void unsubscribe(int64_t token);
  ble::WriteResult write(std::span<const uint8_t> bytes, ble::WriteOption option);

  const std::string handle_;
  mutable std::mutex mutex_;
  std::optional<ble::Uuid> uuid_;
  uint32_t properties_;
  std::map<ble::WriteOption, Script<Outcome>> write_results_;
  Outcome subscribe_result_ = ble::GattStatus::Success;
  std::function<void(const Bytes&)> write_hook_;
  std::map<int64_t, ble::NotificationHandler> handlers_;
  int added_ = 0, removed_ = 0;
  std::vector<Write> writes_;
  std::vector<ble::Subscription> subscriptions_;
};
using FakeCharacteristicPtr = std::shared_ptr<FakeCharacteristic>;

class FakeService {
 public:
  FakeService(std::string_view uuid_text, std::vector<FakeCharacteristicPtr> characteristics);

  void set_uuid_error();
  void set_characteristics_error(std::string text);  // listing its characteristics fails

 private:
  friend class FakeConnectionImpl;
  const std::string handle_;
  mutable std::mutex mutex_;
  std::optional<ble::Uuid> uuid_;
  std::vector<FakeCharacteristicPtr> characteristics_;
  std::optional<std::string> error_;
};
using FakeServicePtr = std::shared_ptr<FakeService>;

// One discovery answer: a list of services, or the discovery failing; given `delay` after
// the call (or sooner, when the connection is closed meanwhile).
struct FakeDiscovery {
  std::vector<FakeServicePtr> services;
  std::optional<std::string> error;
  std::chrono::milliseconds delay{0};
};

class FakeDevice {
 public:
  explicit FakeDevice(Result<std::string> name);

  void set_name(Result<std::string> name);
  // Every discovery returns this layout.
  void set_services(std::vector<FakeServicePtr> services);
  // Discoveries answer in turn, the last answer repeating.
  void script_discovery(std::vector<FakeDiscovery> answers);
  // What connected() answers, in turn.
  void script_connection(std::vector<Result<bool>> answers);

  int discoveries() const;
  int closes() const;    // connections closed with close()
  int releases() const;  // connections dropped without close()

 private:
  friend class FakeConnectionImpl;
  friend class FakePlatform;
  mutable std::mutex mutex_;
  Result<std::string> name_;
  Script<FakeDiscovery> discovery_{FakeDiscovery{}};
  Script<Result<bool>> connection_{Result<bool>(true)};
  std::vector<FakeServicePtr> layout_;  // every service ever handed out, to find handles
  int discoveries_ = 0, closes_ = 0, releases_ = 0;
};
using FakeDevicePtr = std::shared_ptr<FakeDevice>;

// What became of one connection the platform handed out.
struct FakeConnectionRecord {
  uint64_t address = 0;
  std::atomic<int> closes{0};         // close() calls
  std::atomic<bool> released{false};  // dropped by the service (after or without close())
  std::atomic<bool> subscribed{false};
};

class FakePlatform final : public ble::Platform {
 public:
  FakePlatform();

  // Default: an adapter with its radio on.
  void set_availability(ble::Availability availability);

  // Scans. Default: they start.
  void set_scan_error(std::optional<std::string> text);
  // Runs inside start_scan, on the starting thread, before it succeeds.
  void on_scan_start(std::function<void()> hook);
  int scans_started() const;
  int scans_stopped() const;
  int scans_running() const;
  // Delivers the advertisement to every running scan's handler, on the calling thread.
  void advertise(const ble::Advertisement& advertisement);

  // Devices. An unknown address fails to open ("device {} not found"); a scripted error
  // fails it with that text.
  void add_device(uint64_t address, FakeDevicePtr device);
  void set_open_error(uint64_t address, std::optional<std::string> text);
  // Opening this address takes this long besides the call delay (a device still looked for).
  void set_open_delay(uint64_t address, std::chrono::milliseconds delay);
  // open() calls, failed ones included.
  int opens() const;
  // Every connection handed out, in order.
  std::vector<std::shared_ptr<const FakeConnectionRecord>> connections() const;

  // Every blocking call (open, discovery, subscribe, write, connected) takes this long.
  void set_call_delay(std::chrono::milliseconds delay);

  void set_paired_names(Result<ble::PairedNames> names);

  // ble::Platform.
  ble::Availability availability() override;
  Result<std::unique_ptr<ble::Scan>> start_scan(ble::AdvertisementHandler handler) override;
  Result<ble::ConnectionPtr> open(uint64_t address) override;
  Result<ble::PairedNames> paired_device_names() override;

 private:
  std::shared_ptr<FakeCore> core_;
};

}  // namespace chair::test
