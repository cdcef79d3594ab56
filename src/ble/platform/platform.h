// The Bluetooth LE operations the service needs, in the chair's terms: plain values and byte
// vectors, calls that answer (a value or an error text) within a bounded time, and callbacks
// for advertisements and notifications.
//
// Notes for implementers:
// - Every call may block its caller, never for longer than about 20 s; a backend that waits
//   on its system (D-Bus replies, Windows Runtime operations) does so inside the call.
// - Any thread may call anything; a backend prepares threads for its system by itself.
// - Error texts are shown to people as they are (in log lines such as "connect failed: {}").
// - Callbacks run on the backend's own threads. They may call back into the backend, but a
//   backend never holds a lock of its own while it calls them. After Scan::stop(), or after
//   a subscription ends (Connection::close()), no new callback starts.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

// Characteristic property bits, as Bluetooth defines them.
enum : uint32_t {
  kPropBroadcast = 0x01,
  kPropRead = 0x02,
  kPropWriteWithoutResponse = 0x04,
  kPropWrite = 0x08,
  kPropNotify = 0x10,
  kPropIndicate = 0x20,
};

// The outcome of a GATT exchange the chair answered (or that could not reach it).
enum class GattStatus { Success = 0, Unreachable = 1, ProtocolError = 2, AccessDenied = 3 };
// As the service's messages name it: "GattCommunicationStatus(<number>)".
inline std::string gatt_status_text(GattStatus status) {
  return "GattCommunicationStatus(" + std::to_string(static_cast<int>(status)) + ")";
}
enum class WriteOption { WithResponse = 0, WithoutResponse = 1 };
// Why a write was not made.
struct WriteError : Error {
  // Nothing reached the system: the bytes could not even be put into one of its buffers. The
  // other write option would fare no better, so it is not tried.
  bool before_sending = false;
};
using WriteResult = Result<GattStatus, WriteError>;
// What the client configuration descriptor is set to.
enum class Subscription { Notify = 1, Indicate = 2 };

// Whether scanning and connecting can work at all, and what people are told when they cannot.
struct Availability {
  enum class State {
    Ready,      // an adapter with its radio on
    NoAdapter,  // no adapter, or it cannot be found; `detail` says why
    NoRadio,    // the adapter's radio cannot be read; `detail` says why
    RadioOff,   // the radio is off or disabled
  };
  State state = State::Ready;
  std::string detail;   // the system's reason
  std::string message;  // for people: what is wrong and what to do; "" when ready

  static Availability ready() { return {}; }
  static Availability no_adapter(std::string detail);
  static Availability no_radio(std::string detail);
  // `how_to_switch_on` is the whole message: where the radio is switched on differs per system.
  static Availability radio_off(std::string how_to_switch_on);
};

// One advertisement (or scan response). What the platform could not read is absent.
struct Advertisement {
  uint64_t address = 0;  // 48-bit device address; 0 when unreadable
  std::optional<int16_t> rssi;
  std::optional<std::string> local_name;  // bytes as received; absent or empty: no name
  std::vector<Uuid> service_uuids;
  std::vector<uint16_t> company_ids;
};
using AdvertisementHandler = std::function<void(const Advertisement&)>;

// The bytes of one notification or indication.
using NotificationHandler = std::function<void(std::span<const uint8_t> value)>;

// A running scan. stop() ends it (so does destruction); once stop() returns no handler call
// starts. Safe to call more than once.
class Scan {
 public:
  virtual ~Scan() = default;
  virtual void stop() = 0;
};

// A GATT service and characteristic of a connected device, as discovery found them. `handle`
// is the backend's own way to find the object again; callers pass the values back unchanged.
struct GattService {
  std::optional<Uuid> uuid;  // absent when it cannot be read
  std::string handle;
};
struct GattCharacteristic {
  std::optional<Uuid> uuid;  // absent when it cannot be read
  uint32_t properties = 0;   // 0 when they cannot be read
  std::string handle;
};

// A device opened for GATT, with the platform keeping its connection up (and re-establishing
// it) until close(). A backend may share one system connection between several of these for
// the same device; it disconnects only when the last of them closes.
class Connection {
 public:
  virtual ~Connection() = default;

  // The name the device gives itself; an error or an empty text when it has none.
  virtual Result<std::string> name() = 0;

  // The device's services, read from the device itself (no cache). An empty list is a
  // valid answer (a device that has only just connected may list none yet).
  virtual Result<std::vector<GattService>> services() = 0;
  virtual Result<std::vector<GattCharacteristic>> characteristics(const GattService& service) = 0;

  // Whether the platform holds a connection to the device right now.
  virtual Result<bool> connected() = 0;

  // Registers `handler` for the characteristic's values, then sets its client configuration
  // descriptor. An error when either fails (the registration is then undone); a status
  // other than Success when the device refused the descriptor write (also undone). One
  // subscription per connection: a second one replaces the first.
  virtual Result<GattStatus> subscribe(const GattCharacteristic& characteristic, Subscription kind,
                                       NotificationHandler handler) = 0;

  // Writes the bytes with the given option: an error when the write could not be made, else
  // the status the exchange ended with.
  virtual WriteResult write(const GattCharacteristic& characteristic, std::span<const uint8_t> bytes,
                            WriteOption option) = 0;

  // Ends the subscription, then closes the GATT session and the device. Never fails; safe
  // to call more than once and from any thread, also while another call is under way (that
  // call then fails soon). Dropping the last reference without close() ends the
  // subscription too, but only releases the session and device (a link that is being
  // replaced by a new one to the same chair is not closed under it).
  virtual void close() = 0;
};
using ConnectionPtr = std::shared_ptr<Connection>;

// Compact address (12 upper-case hex digits) to friendly name.
using PairedNames = std::unordered_map<std::string, std::string>;

class Platform {
 public:
  virtual ~Platform() = default;

  virtual Availability availability() = 0;

  // Starts an active scan that calls `handler` once per advertisement until stopped.
  virtual Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler handler) = 0;

  // Opens the device with this address and asks the platform to connect it and keep it
  // connected. Returns once the device and its GATT session exist, not once the radio link
  // is up: services() waits for that.
  virtual Result<ConnectionPtr> open(uint64_t address) = 0;

  // Names of the paired devices, as this platform lists them; an error when it cannot tell
  // now (a platform without any such list answers with an error every time).
  virtual Result<PairedNames> paired_device_names() = 0;
};
using PlatformPtr = std::shared_ptr<Platform>;

}  // namespace chair::ble
