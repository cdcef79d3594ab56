// Command line of the simulator: which devices exist and how the simulated controller behaves.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/result.h"

namespace chair::sim {

struct ReplayScript;

// GATT layouts a chair can offer, for the service's characteristic-choice cases.
enum class Layout {
  kNormal,                 // one data characteristic: read, write-without-response, write, notify
  kIndicateOnly,           // data characteristic with read, write, indicate
  kWriteOnlyWithNotifier,  // data characteristic writes only; a second one in the service notifies
  kForeignChar,            // no data characteristic; another one writes and notifies for it
  kNoDataChar,             // nothing usable: one read-only characteristic
};

Result<Layout> parse_layout(const std::string& text);
const char* layout_name(Layout layout);

struct DeviceSpec {
  std::string address;        // upper case, ":" separated
  std::string name;           // empty: the device has no name
  std::string alias;          // the name the user gave it; empty: the daemon's own choice
  bool chair = true;          // false: a device without the chair's GATT service
  bool paired = false;        // paired devices are known from the start and never removed
  bool known = false;         // exported from the start, like a device seen earlier
  bool advertising = true;    // announces itself while discovery runs
  bool present = true;        // switched on and in range: connections succeed
  bool silent = false;        // the chair never answers
  bool short_length = false;  // the chair's reports use L = payload
  bool chunking = false;      // answers are cut and merged across notifications
  uint32_t seed = 1;
  Layout layout = Layout::kNormal;
  int16_t rssi = -60;                          // centre of the announced RSSI
  std::shared_ptr<const ReplayScript> replay;  // set: the chair plays this recording again
};

// "C0:FF:EE:01:02:0A,name=TAMRO-X1,paired,layout=indicate-only"; options: name=, alias=, paired, known,
// hidden (not advertising), absent, silent, short-length, chunking, seed=, layout=, rssi=.
Result<DeviceSpec> parse_device_spec(const std::string& text, bool chair);

struct SimOptions {
  std::string bus;  // empty: DBUS_SYSTEM_BUS_ADDRESS
  std::vector<DeviceSpec> devices;
  std::string adapter_address = "00:1A:7D:DA:71:0C";
  std::chrono::milliseconds connect_delay{100};
  std::chrono::milliseconds disconnect_delay{200};
  std::chrono::milliseconds announce_interval{1000};
  std::chrono::milliseconds temporary_timeout{30000};
  std::chrono::milliseconds write_delay{0};    // how long a write request stays pending
  std::chrono::milliseconds flush_delay{200};  // chunking: when a held-back answer goes out anyway
  unsigned mtu = 23;
  bool powered = true;
  std::string replay_file;  // a recorded session whose chair is added (replay.h)
};

// Everything after the program name, except a leading "ctl".
Result<SimOptions> parse_sim_args(const std::vector<std::string>& args);

extern const char* const kSimUsage;

}  // namespace chair::sim
