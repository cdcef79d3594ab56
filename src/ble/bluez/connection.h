// A device opened for GATT: one session of ours on the device's link, with at most one
// subscription to a characteristic's values.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ble/bluez/callback_gate.h"
#include "ble/bluez/client.h"
#include "ble/platform/platform.h"

namespace chair::ble::bluez {

class BluezConnection final : public Connection {
 public:
  // Counts a session on the device at `path` and asks for the link (after our own pending
  // Disconnect of it, if any).
  BluezConnection(std::shared_ptr<Client> client, std::string path, uint64_t epoch);
  // The daemon keeps a link nobody closes; dropping the last reference closes it.
  ~BluezConnection() override;

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
  struct Listening {
    std::string path;
    uint64_t token = 0;
    std::shared_ptr<CallbackGate> gate;
  };

  // Fails once closed or once the daemon that the handle belongs to has gone.
  Status usable();
  // Removes the listener; the last one of a characteristic ends our notify session.
  void stop_listening(const Listening& listening);
  void stop_notify(const std::string& path);

  std::shared_ptr<Client> client_;
  std::string path_;
  uint64_t epoch_;
  uint64_t session_;

  std::mutex mutex_;
  bool closed_ = false;
  std::optional<Listening> listening_;
};

}  // namespace chair::ble::bluez
