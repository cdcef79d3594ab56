// The simulated Bluetooth world that every room of the simulator serves from: the adapter's
// state, the devices with their links, attribute tables and chair models, and the clients'
// discovery sessions.
//
// Threads: method calls arrive on the bus connection's loop thread and are handed to the
// scheduler, which makes every change and emits every signal, so the signals of one change
// reach a peer in the order the daemon would send them. Property getters run on the loop
// thread and read under `mutex`; only the scheduler thread writes, and it never calls into the
// bus while holding `mutex` (the bus library holds its own lock while it calls the getters).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "common/result.h"
#include "replay.h"
#include "scheduler.h"
#include "sim_options.h"
#include "tools/chair-model/chair_model.h"

namespace chair::sim {

using Props = std::map<std::string, sdbus::Variant>;
using Reply = std::shared_ptr<sdbus::Result<>>;

// The service every chair offers (and advertises).
inline constexpr const char* kChairServiceUuid = "0000fff0-0000-1000-8000-00805f9b34fb";

struct WriteRecord {
  std::string type;  // "request" or "command"
  Bytes value;
};

struct CharSim {
  uint16_t handle = 0;
  std::string path;
  std::string uuid;
  std::vector<std::string> flags;
  bool takes_commands = false;  // writes go to the chair
  bool sends_answers = false;   // the chair's answers are notified here
  Bytes value;
  bool notifying = false;
  std::map<std::string, bool> sessions;  // sender -> armed
  bool request_pending = false;
  std::unique_ptr<sdbus::IObject> object;
  bool has_flag(const std::string& f) const;
};

struct ServiceSim {
  uint16_t handle = 0;
  std::string path;
  std::string uuid;
  std::unique_ptr<sdbus::IObject> object;
};

struct DeviceSim {
  DeviceSpec spec;
  std::string path;
  std::unique_ptr<ChairModel> model;
  std::unique_ptr<ReplayChair> replay;     // instead of the model: a recorded chair played again
  std::unique_ptr<sdbus::IObject> object;  // set while exported
  bool connected = false;
  bool resolved = false;
  bool ever_connected = false;
  int16_t rssi = 0;  // 0: not seen since discovery last started
  uint64_t removal_gen = 0;
  uint64_t connect_gen = 0;
  uint64_t link_gen = 0;
  Reply pending_connect;
  std::vector<Reply> pending_disconnects;
  std::optional<std::pair<std::string, std::string>> refusal;  // error name, message
  bool holding_writes = false;                                 // request writes stay pending until released
  std::vector<std::function<void()>> held_writes;              // their completions, in order
  std::vector<WriteRecord> writes;
  std::vector<std::unique_ptr<ServiceSim>> services;
  std::vector<std::unique_ptr<CharSim>> chars;
  bool flush_scheduled = false;

  CharSim* find_char(const std::string& path) const;
  // The manufacturer data a device advertises: the test company id with a kind byte and the
  // address's last byte.
  std::map<uint16_t, sdbus::Variant> manufacturer_data() const;
};

class World {
 public:
  // Called on the scheduler thread for every write a chair accepted.
  using WriteListener = std::function<void(const std::string& address, const WriteRecord& write)>;

  World(sdbus::IConnection& bus, Scheduler& scheduler, SimOptions options);

  // Changes of state happen under the lock, signals after it.
  template <class F>
  void locked(F f) {
    std::lock_guard lock(mutex);
    f();
  }

  DeviceSim* find(const std::string& address);
  // The device named by args[index] of a control command.
  Result<DeviceSim*> device_arg(const std::vector<std::string>& args, size_t index);
  // Whether any discovering client asked for every advertisement.
  bool duplicate_data() const;

  sdbus::IConnection& bus;
  Scheduler& scheduler;
  const SimOptions options;
  const std::string adapter_path;
  WriteListener write_listener;

  mutable std::mutex mutex;  // guards what the getters read
  bool powered = true;
  bool discovering = false;
  std::map<std::string, bool> discovery_sessions;             // sender -> DuplicateData
  std::map<std::string, bool> filters;                        // sender -> DuplicateData of its last filter
  std::map<std::string, std::unique_ptr<DeviceSim>> devices;  // by address; records stay, objects come and go
  std::mt19937 rng{12345};
  bool stopped = false;
};

// Replies and signals, the way the daemon sends them.
void reply_ok(const Reply& reply);
void reply_error(const Reply& reply, const std::string& name, const std::string& message);
void emit_changed(sdbus::IObject* object, const std::string& iface, const Props& changed,
                  const std::vector<std::string>& invalidated = {});
// The unique name of the client whose call the object is handling.
std::string sender_of(sdbus::IObject* object);
// "service000a", "char000b": the attribute handle in four lower-case hex digits.
std::string handle_suffix(std::string_view kind, uint16_t handle);

}  // namespace chair::sim
