// A device opened for GATT through the runtime: the BluetoothLEDevice and its GattSession,
// with the services and characteristics discovery found.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "ble/platform/platform.h"
#include "ble/winrt/delegate.h"
#include "ble/winrt/runtime.h"

namespace chair::ble::winrt {

using ValueChangedDelegate = EventDelegate<abi::IGattCharacteristic, abi::IGattValueChangedEventArgs>;

class WinRtConnection final : public Connection {
 public:
  WinRtConnection(Com<abi::IBluetoothLEDevice> device, Com<abi::IGattSession> session);
  ~WinRtConnection() override;

  Result<std::string> name() override;
  Result<std::vector<GattService>> services() override;
  Result<std::vector<GattCharacteristic>> characteristics(const GattService& service) override;
  Result<bool> connected() override;
  Result<GattStatus> subscribe(const GattCharacteristic& characteristic, Subscription kind,
                               NotificationHandler handler) override;
  WriteResult write(const GattCharacteristic& characteristic, std::span<const uint8_t> bytes,
                    WriteOption option) override;
  void close() override;

 private:
  struct Registration {
    Com<abi::IGattCharacteristic> characteristic;
    Com<ValueChangedDelegate> delegate;
    EventRegistrationToken token{};
  };

  Result<Com<abi::IBluetoothLEDevice>> device();
  Result<Com<abi::IGattCharacteristic>> find_characteristic(const std::string& handle);
  // Takes the registration out if it is still the one of `only` (any one when null).
  std::optional<Registration> take_registration(const ValueChangedDelegate* only);
  static void end(std::optional<Registration> registration);

  // Set once by close(); waits of calls under way watch it.
  std::atomic<bool> closed_{false};

  // Everything below under mutex_; a call takes its own reference and uses it outside.
  std::mutex mutex_;
  Com<abi::IBluetoothLEDevice> device_;
  Com<abi::IGattSession> session_;
  // The objects behind the handles given out. Each discovery replaces the services; the
  // characteristics of every listing stay findable until the connection closes.
  std::map<std::string, Com<abi::IGattDeviceService>> services_;
  std::map<std::string, Com<abi::IGattCharacteristic>> characteristics_;
  uint64_t next_handle_ = 1;
  std::optional<Registration> registration_;
};

}  // namespace chair::ble::winrt
