#include "ble/bluez/connection.h"

#include <map>
#include <vector>

#include "ble/bluez/names.h"
#include "ble/bluez/props.h"
#include "ble/bluez/texts.h"
#include "ble/bluez/timeouts.h"

namespace chair::ble::bluez {

BluezConnection::BluezConnection(std::shared_ptr<Client> client, std::string path, uint64_t epoch)
    : client_(std::move(client)), path_(std::move(path)), epoch_(epoch) {
  session_ = client_->links().open_session(path_, epoch_);
  if (client_->check_epoch(epoch_)) client_->links().request_connect(path_, true);
}

BluezConnection::~BluezConnection() { close(); }

Status BluezConnection::usable() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return fail(kClosedText);
  }
  return client_->check_epoch(epoch_);
}

Result<std::string> BluezConnection::name() {
  if (auto ok = usable(); !ok) return ok.take_error();
  auto reply = client_->bus().call(path_, kPropertiesIface, kGetAll,
                                   [](sdbus::MethodCall& msg) { msg << std::string(kDeviceIface); });
  if (!reply) return reply.take_error();
  try {
    Props props;
    reply.value() >> props;
    DeviceProps device;
    merge_device_props(device, props);
    if (auto name = friendly_name(device)) return *name;
    return fail("the device has no name");
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

// Services exist once the device is connected and the daemon resolved them; the objects
// themselves outlive a link, so their presence proves nothing.
Result<std::vector<GattService>> BluezConnection::services() {
  auto ready = client_->links().wait_services_resolved(session_, DeviceLinks::Clock::now() + kResolveTimeout);
  if (!ready) return ready.take_error();
  auto snapshot = client_->bus().managed_objects();
  if (!snapshot) return snapshot.take_error();
  std::vector<GattService> list;
  for (const auto& info : snapshot->services) {
    if (info.device == path_) list.push_back(GattService{Uuid::parse(info.uuid), info.path});
  }
  return list;
}

Result<std::vector<GattCharacteristic>> BluezConnection::characteristics(const GattService& service) {
  if (auto ok = usable(); !ok) return ok.take_error();
  auto snapshot = client_->bus().managed_objects();
  if (!snapshot) return snapshot.take_error();
  std::vector<GattCharacteristic> list;
  for (const auto& info : snapshot->characteristics) {
    if (info.service != service.handle) continue;
    list.push_back(GattCharacteristic{Uuid::parse(info.uuid), flags_to_properties(info.flags), info.path});
  }
  return list;
}

Result<bool> BluezConnection::connected() {
  if (auto ok = usable(); !ok) return ok.take_error();
  return client_->bus().get_bool(path_, kDeviceIface, kConnected);
}

// The daemon writes the client configuration descriptor itself: notifications when the
// characteristic offers them, indications otherwise. `kind` therefore changes nothing here.
Result<GattStatus> BluezConnection::subscribe(const GattCharacteristic& characteristic, Subscription,
                                              NotificationHandler handler) {
  if (!handler) return fail("no handler");
  if (auto ok = usable(); !ok) return ok.take_error();
  std::optional<Listening> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(listening_);
    listening_.reset();
  }
  if (previous) stop_listening(*previous);

  Listening mine{characteristic.handle, 0, std::make_shared<CallbackGate>()};
  mine.token = client_->notifications().add_listener(
      mine.path, epoch_,
      [gate = mine.gate, handler = std::move(handler)](std::span<const uint8_t> value) { gate->pass(handler, value); });
  bool closed = false;
  {
    std::lock_guard lock(mutex_);
    closed = closed_;
    if (!closed) listening_ = mine;
  }
  if (closed) {
    stop_listening(mine);
    return fail(kClosedText);
  }

  auto reply = client_->bus().call(mine.path, kGattCharacteristicIface, kStartNotify);
  if (!reply) {
    bool ours = false;
    {
      std::lock_guard lock(mutex_);
      ours = listening_ && listening_->token == mine.token;
      if (ours) listening_.reset();
    }
    if (ours) stop_listening(mine);
    return reply.take_error();
  }
  // Closed while the session was being opened: nobody will end it but us.
  if (client_->notifications().started(mine.path, mine.token)) stop_notify(mine.path);
  return GattStatus::Success;
}

WriteResult BluezConnection::write(const GattCharacteristic& characteristic, std::span<const uint8_t> bytes,
                                   WriteOption option) {
  if (auto ok = usable(); !ok) return ok.take_error();
  auto gate = client_->notifications().write_gate(characteristic.handle);
  if (!gate->enter(kCallTimeout)) return fail("an earlier write is still pending");
  const std::vector<uint8_t> value(bytes.begin(), bytes.end());
  auto reply =
      client_->bus().call(characteristic.handle, kGattCharacteristicIface, kWriteValue, [&](sdbus::MethodCall& msg) {
        Props options{{kWriteType, sdbus::Variant(std::string(option == WriteOption::WithResponse ? kWriteRequest
                                                                                                  : kWriteCommand))}};
        msg << value << options;
      });
  gate->leave();
  if (!reply) return reply.take_error();
  return GattStatus::Success;
}

void BluezConnection::close() {
  std::optional<Listening> listening;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    listening = std::move(listening_);
    listening_.reset();
  }
  // Handler first, then the link: the daemon ends the notify session before the Disconnect.
  if (listening) stop_listening(*listening);
  client_->links().close_session(session_);
}

void BluezConnection::stop_listening(const Listening& listening) {
  listening.gate->close();
  if (client_->notifications().remove_listener(listening.path, listening.token) && client_->check_epoch(epoch_)) {
    stop_notify(listening.path);
  }
}

// The daemon keeps our notify session until we end it or leave the bus. Its errors change
// nothing for us.
void BluezConnection::stop_notify(const std::string& path) {
  auto& bus = client_->bus();
  if (bus.on_loop_thread()) {
    (void)bus.call_async(path, kGattCharacteristicIface, kStopNotify, kCallTimeout,
                         [](sdbus::MethodReply&, const sdbus::Error*) {});
  } else {
    (void)bus.call(path, kGattCharacteristicIface, kStopNotify);
  }
}

}  // namespace chair::ble::bluez
