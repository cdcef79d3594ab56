// A scripted, in-process Bluetooth platform for tests: it records every write and
// answers with canned replies. Every object is thread-safe; scripting calls may be made
// from the test thread while the service works on its own threads.
//
//   auto fake = std::make_shared<FakePlatform>();
//   auto data = std::make_shared<FakeCharacteristic>(ble::kDataCharacteristicUuid,
//                                                    ble::kPropWrite | ble::kPropNotify);
//   data->on_write([&](const Bytes& b) { data->notify(reply_for(b)); });
//   auto chair = std::make_shared<FakeDevice>("dev-1", "TAMRO S1");
//   chair->set_services({std::make_shared<FakeService>("0000fff0-...", Chars{data})});
//   fake->add_device(0xC0FFEE01020A, chair);
//   fake->advertise(FakeAdvert::named(0xC0FFEE01020A, "TAMRO S1"));
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
struct FakeCore;  // the platform's scripted state, shared with the objects it hands out

// A parsed identifier; the text must be a valid UUID.
ble::Uuid uuid(std::string_view text);

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

// One advertisement as the platform would deliver it; every field can be made unreadable.
struct FakeAdvert {
  Result<uint64_t> address = uint64_t{0};
  Result<int16_t> rssi = int16_t{0};
  std::optional<std::string> payload_error;  // set: reading the payload fails with this text
  Result<std::string> local_name = std::string();
  Result<std::vector<Result<ble::Uuid>>> uuids = std::vector<Result<ble::Uuid>>{};
  Result<std::vector<Result<uint16_t>>> company_ids = std::vector<Result<uint16_t>>{};

  static FakeAdvert named(uint64_t address, std::string name, int16_t rssi = -60);
};
// The arguments a watcher would hand its handler for this advertisement.
std::shared_ptr<ble::AdvertisementArgs> make_advert_args(const FakeAdvert& advert);

// ---- GATT layout as data --------------------------------------------------------------

class FakeCharacteristic final : public ble::Characteristic {
 public:
  struct Write {
    Bytes bytes;
    ble::WriteOption option;
    bool operator==(const Write&) const = default;
  };
  // Success, a GATT status, or a platform error text.
  using Outcome = Result<ble::GattStatus>;

  FakeCharacteristic(std::string_view uuid_text, uint32_t properties);

  // Scripting.
  void set_uuid_error(std::string text);
  void set_properties(Result<uint32_t> properties);
  void set_write_result(ble::WriteOption option, Outcome outcome);
  void set_cccd_result(Outcome outcome);
  void set_subscribe_error(std::string text);  // add_value_changed fails
  // Called with the bytes of every successful write, on the writer's thread and outside
  // any lock of the fake, so it may call notify(): this is how a chair model answers.
  void on_write(std::function<void(const Bytes&)> hook);

  // Pushes a notification to every registered handler, on the calling thread.
  void notify(const Bytes& bytes);
  // Delivers custom arguments (or none) to every registered handler.
  void notify_args(const std::shared_ptr<ble::ValueChangedArgs>& args);

  // Records.
  std::vector<Write> writes() const;  // every attempted write, in order, failed ones too
  std::vector<ble::CccdValue> cccd_writes() const;
  int handlers_added() const;
  int handlers_removed() const;
  int handlers_active() const;

  // ble::Characteristic.
  Result<uint32_t> properties() override;
  Result<ble::Uuid> uuid() override;
  Result<int64_t> add_value_changed(ble::ValueChangedHandler handler) override;
  Status remove_value_changed(int64_t token) override;
  ble::Async<ble::GattStatus> write_cccd_async(ble::CccdValue value) override;
  ble::Async<ble::GattStatus> write_value_with_option_async(ble::BufferPtr value,
                                                            ble::WriteOption option) override;

 private:
  friend class FakeDevice;
  std::shared_ptr<FakeCore> core_;  // set when discovery hands the layout out
  mutable std::mutex mutex_;
  Result<ble::Uuid> uuid_;
  Result<uint32_t> properties_;
  std::map<ble::WriteOption, Outcome> write_results_;
  Outcome cccd_result_ = ble::GattStatus::Success;
  std::optional<std::string> subscribe_error_;
  std::function<void(const Bytes&)> write_hook_;
  std::map<int64_t, ble::ValueChangedHandler> handlers_;
  int64_t next_token_ = 1;
  int added_ = 0, removed_ = 0;
  std::vector<Write> writes_;
  std::vector<ble::CccdValue> cccd_writes_;
};
using FakeCharacteristicPtr = std::shared_ptr<FakeCharacteristic>;

class FakeService final : public ble::Service {
 public:
  FakeService(std::string_view uuid_text, std::vector<FakeCharacteristicPtr> characteristics);

  void set_uuid_error(std::string text);
  void set_characteristics_error(std::string text);       // the operation itself fails
  void set_characteristics_list_error(std::string text);  // the result's list cannot be read
  void set_characteristics_status(ble::GattStatus status);

  Result<ble::Uuid> uuid() override;
  ble::Async<std::shared_ptr<ble::CharacteristicsResult>> get_characteristics_async() override;

 private:
  friend class FakeDevice;
  std::shared_ptr<FakeCore> core_;
  mutable std::mutex mutex_;
  Result<ble::Uuid> uuid_;
  std::vector<FakeCharacteristicPtr> characteristics_;
  std::optional<std::string> op_error_, list_error_;
  ble::GattStatus status_ = ble::GattStatus::Success;
};
using FakeServicePtr = std::shared_ptr<FakeService>;

// One discovery answer: a status and a list, the list unreadable, or the operation failing.
struct FakeDiscovery {
  ble::GattStatus status = ble::GattStatus::Success;
  std::vector<FakeServicePtr> services;
  std::optional<std::string> list_error;  // Services cannot be read
  std::optional<std::string> error;       // the operation fails
};

class FakeDevice final : public ble::Device {
 public:
  FakeDevice(std::string device_id, Result<std::string> name);

  void set_name(Result<std::string> name);
  void set_device_id(Result<std::string> id);
  // Every discovery returns this layout.
  void set_services(std::vector<FakeServicePtr> services);
  // Discoveries answer in turn, the last answer repeating.
  void script_discovery(std::vector<FakeDiscovery> answers);
  void script_connection(std::vector<Result<ble::ConnectionStatus>> answers);

  int discoveries() const;
  int closes() const;

  Result<std::string> device_id() override;
  Result<std::string> name() override;
  ble::Async<std::shared_ptr<ble::ServicesResult>> get_gatt_services_async() override;
  Result<ble::ConnectionStatus> connection_status() override;
  Status close() override;

 private:
  friend class FakePlatform;
  void adopt(const std::shared_ptr<FakeCore>& core);
  std::shared_ptr<FakeCore> core_;
  mutable std::mutex mutex_;
  Result<std::string> id_;
  Result<std::string> name_;
  Script<FakeDiscovery> discovery_{FakeDiscovery{}};
  Script<Result<ble::ConnectionStatus>> connection_{
      Result<ble::ConnectionStatus>(ble::ConnectionStatus::Connected)};
  int discoveries_ = 0, closes_ = 0;
};
using FakeDevicePtr = std::shared_ptr<FakeDevice>;

class FakeSession final : public ble::Session {
 public:
  explicit FakeSession(std::string device_id) : device_id(std::move(device_id)) {}
  const std::string device_id;
  bool maintain_connection() const { return maintain_.load(); }
  int closes() const { return closes_.load(); }

  Status set_maintain_connection(bool on) override;
  Status close() override;

 private:
  std::atomic<bool> maintain_{false};
  std::atomic<int> closes_{0};
};

// ---- the platform ---------------------------------------------------------------------

class FakePlatform final : public ble::Platform {
 public:
  FakePlatform();

  // Adapter and radio. Default: adapter present, radio On.
  void set_adapter_error(std::string text);  // GetDefault fails
  void set_no_adapter();                     // GetDefault returns an empty result
  void set_adapter_present();
  void set_radio(ble::RadioState state);
  void set_radio_error(std::string text);        // getting the radio fails
  void set_radio_state_error(std::string text);  // reading its state fails

  // Watchers. Default: they start.
  void set_watcher_create_error(std::optional<std::string> text);
  void set_watcher_start_error(std::optional<std::string> text);
  // Runs inside Watcher::start, on the starting thread, before it succeeds.
  void on_watcher_start(std::function<void()> hook);
  int watchers_started() const;
  int watchers_stopped() const;
  int watchers_running() const;

  // Delivers the advertisement to every started, not stopped, watcher's handler,
  // synchronously on the calling thread.
  void advertise(const FakeAdvert& advert);
  void advertise_missing_args();

  // Devices. An unknown address gives an empty result; a scripted error fails the lookup.
  void add_device(uint64_t address, FakeDevicePtr device);
  void set_device_error(uint64_t address, std::string text);
  void set_session_error(std::optional<std::string> text);
  std::vector<std::shared_ptr<FakeSession>> sessions() const;

  // Buffers.
  void set_buffer_error(std::optional<std::string> text);  // create_buffer fails
  void set_read_error(std::optional<std::string> text);    // read_buffer fails

  // Every asynchronous operation handed out from now on reports Started for this long.
  void set_async_delay(std::chrono::milliseconds delay);

  void set_paired_names(std::optional<Result<ble::PairedNames>> names);

  int init_thread_calls() const;

  // ble::Platform.
  void init_thread() override;
  ble::Async<std::shared_ptr<ble::Adapter>> get_default_adapter_async() override;
  Result<std::shared_ptr<ble::Watcher>> create_watcher() override;
  ble::Async<ble::DevicePtr> device_from_address_async(uint64_t address) override;
  ble::Async<ble::SessionPtr> session_from_device_id_async(const std::string& device_id) override;
  Result<ble::BufferPtr> create_buffer(std::span<const uint8_t> bytes) override;
  Result<std::vector<uint8_t>> read_buffer(const ble::BufferPtr& buffer) override;
  std::optional<Result<ble::PairedNames>> paired_device_names() override;

 private:
  std::shared_ptr<FakeCore> core_;
};

}  // namespace chair::test
