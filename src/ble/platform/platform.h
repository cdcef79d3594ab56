// The Bluetooth LE operations the service uses, behind one interface of its own.
//
// The shapes follow the platform the service was first written for: handles are
// reference-counted, slow operations are asynchronous objects that report a status
// and then a result, and every failure carries a display text. A backend that does
// its work synchronously returns operations that are already complete.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/result.h"

namespace chair::ble {

// A 128-bit identifier; written lower case 8-4-4-4-12 without braces.
struct Uuid {
  std::array<uint8_t, 16> bytes{};  // most significant first, as written

  static std::optional<Uuid> parse(std::string_view text);  // accepts optional braces, any case
  std::string to_string() const;
  bool operator==(const Uuid&) const = default;
};

// The chair's data characteristic.
inline constexpr std::string_view kDataCharacteristicUuid = "7772e5db-3868-4112-a1a9-f2669d106bf3";

enum class AsyncStatus { Started = 0, Completed = 1, Canceled = 2, Error = 3 };
enum class RadioState { Unknown = 0, On = 1, Off = 2, Disabled = 3 };
enum class GattStatus { Success = 0, Unreachable = 1, ProtocolError = 2, AccessDenied = 3 };
enum class WriteOption { WithResponse = 0, WithoutResponse = 1 };
enum class CccdValue { None = 0, Notify = 1, Indicate = 2 };
enum class ConnectionStatus { Disconnected = 0, Connected = 1 };

// Characteristic property bits.
enum : uint32_t {
  kPropBroadcast = 0x01,
  kPropRead = 0x02,
  kPropWriteWithoutResponse = 0x04,
  kPropWrite = 0x08,
  kPropNotify = 0x10,
  kPropIndicate = 0x20,
};

// An asynchronous operation: status() is Started while it runs; get_results() afterwards.
template <class T>
class AsyncOperation {
 public:
  virtual ~AsyncOperation() = default;
  virtual Result<AsyncStatus> status() = 0;
  virtual Result<T> get_results() = 0;
};
template <class T>
using Async = std::shared_ptr<AsyncOperation<T>>;

// An operation that finished before it was handed out.
template <class T>
class CompletedOperation final : public AsyncOperation<T> {
 public:
  explicit CompletedOperation(Result<T> result) : result_(std::move(result)) {}
  Result<AsyncStatus> status() override {
    return result_.ok() ? AsyncStatus::Completed : AsyncStatus::Error;
  }
  Result<T> get_results() override { return result_; }

 private:
  Result<T> result_;
};
template <class T>
Async<T> completed(Result<T> result) {
  return std::make_shared<CompletedOperation<T>>(std::move(result));
}

// A platform buffer (what a data writer detaches and a characteristic value holds).
class Buffer {
 public:
  virtual ~Buffer() = default;
};
using BufferPtr = std::shared_ptr<Buffer>;

class Radio {
 public:
  virtual ~Radio() = default;
  virtual Result<RadioState> state() = 0;
};

class Adapter {
 public:
  virtual ~Adapter() = default;
  virtual Async<std::shared_ptr<Radio>> get_radio_async() = 0;
};

// The payload of one advertisement.
class AdvertisementPayload {
 public:
  virtual ~AdvertisementPayload() = default;
  virtual Result<std::string> local_name() = 0;
  // The list itself may fail to read; so may each element.
  virtual Result<std::vector<Result<Uuid>>> service_uuids() = 0;
  virtual Result<std::vector<Result<uint16_t>>> company_ids() = 0;
};

class AdvertisementArgs {
 public:
  virtual ~AdvertisementArgs() = default;
  virtual Result<uint64_t> bluetooth_address() = 0;
  virtual Result<int16_t> raw_signal_strength() = 0;
  virtual Result<std::shared_ptr<AdvertisementPayload>> advertisement() = 0;
};

// Called on platform threads, once per advertisement, until the watcher is stopped.
// The argument may be null (missing arguments).
using AdvertisementHandler = std::function<void(const std::shared_ptr<AdvertisementArgs>&)>;

class Watcher {
 public:
  virtual ~Watcher() = default;
  virtual Status set_scanning_mode_active() = 0;
  virtual Status add_received(AdvertisementHandler handler) = 0;
  virtual Status start() = 0;
  virtual Status stop() = 0;
};

class ValueChangedArgs {
 public:
  virtual ~ValueChangedArgs() = default;
  virtual Result<BufferPtr> characteristic_value() = 0;
};
// Called on platform threads, once per notification or indication.
using ValueChangedHandler = std::function<void(const std::shared_ptr<ValueChangedArgs>&)>;

class Characteristic {
 public:
  virtual ~Characteristic() = default;
  virtual Result<uint32_t> properties() = 0;
  virtual Result<Uuid> uuid() = 0;
  virtual Result<int64_t> add_value_changed(ValueChangedHandler handler) = 0;  // token, never 0
  virtual Status remove_value_changed(int64_t token) = 0;
  virtual Async<GattStatus> write_cccd_async(CccdValue value) = 0;
  virtual Async<GattStatus> write_value_with_option_async(BufferPtr value, WriteOption option) = 0;
};
using CharacteristicPtr = std::shared_ptr<Characteristic>;

class CharacteristicsResult {
 public:
  virtual ~CharacteristicsResult() = default;
  virtual Result<GattStatus> status() = 0;
  virtual Result<std::vector<CharacteristicPtr>> characteristics() = 0;
};

class Service {
 public:
  virtual ~Service() = default;
  virtual Result<Uuid> uuid() = 0;
  // Uncached.
  virtual Async<std::shared_ptr<CharacteristicsResult>> get_characteristics_async() = 0;
};
using ServicePtr = std::shared_ptr<Service>;

class ServicesResult {
 public:
  virtual ~ServicesResult() = default;
  virtual Result<GattStatus> status() = 0;
  virtual Result<std::vector<ServicePtr>> services() = 0;
};

class Device {
 public:
  virtual ~Device() = default;
  virtual Result<std::string> device_id() = 0;
  virtual Result<std::string> name() = 0;
  // Uncached.
  virtual Async<std::shared_ptr<ServicesResult>> get_gatt_services_async() = 0;
  virtual Result<ConnectionStatus> connection_status() = 0;
  virtual Status close() = 0;
};
using DevicePtr = std::shared_ptr<Device>;

class Session {
 public:
  virtual ~Session() = default;
  virtual Status set_maintain_connection(bool on) = 0;
  virtual Status close() = 0;
};
using SessionPtr = std::shared_ptr<Session>;

// Compact address (12 upper-case hex digits) to friendly name.
using PairedNames = std::unordered_map<std::string, std::string>;

class Platform {
 public:
  virtual ~Platform() = default;

  // Prepares the calling thread for platform calls (the multithreaded apartment on
  // Windows); harmless to repeat. Every thread that calls the platform does it first.
  virtual void init_thread() {}

  virtual Async<std::shared_ptr<Adapter>> get_default_adapter_async() = 0;
  virtual Result<std::shared_ptr<Watcher>> create_watcher() = 0;
  virtual Async<DevicePtr> device_from_address_async(uint64_t address) = 0;
  virtual Async<SessionPtr> session_from_device_id_async(const std::string& device_id) = 0;

  // Data writer: create, write the bytes, detach the buffer.
  virtual Result<BufferPtr> create_buffer(std::span<const uint8_t> bytes) = 0;
  // Data reader: from a buffer, read every unconsumed byte.
  virtual Result<std::vector<uint8_t>> read_buffer(const BufferPtr& buffer) = 0;

  // Names of paired devices where the platform itself knows them. nullopt means the
  // platform has no such source and the PowerShell listing is used instead.
  virtual std::optional<Result<PairedNames>> paired_device_names() { return std::nullopt; }
};
using PlatformPtr = std::shared_ptr<Platform>;

// A buffer that is just bytes, for backends without a buffer type of their own.
class ByteBuffer final : public Buffer {
 public:
  explicit ByteBuffer(std::vector<uint8_t> bytes) : bytes(std::move(bytes)) {}
  std::vector<uint8_t> bytes;
};

}  // namespace chair::ble
