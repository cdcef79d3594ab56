// The simulated Bluetooth controller daemon: the org.bluez object tree (adapter, devices, GATT
// services and characteristics) with the behaviour a Bluetooth LE backend relies on, and a chair
// model behind every chair's data characteristic.
//
// Threads: method calls arrive on the bus connection's loop thread and are handed to the
// scheduler, which makes every change and emits every signal. Property getters run on the loop
// thread and read under `mutex_`; only the scheduler thread writes, and it never calls into the
// bus while holding `mutex_` (the bus library holds its own lock while calling the getters).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "common/result.h"
#include "scheduler.h"
#include "sim_options.h"
#include "tools/chair-model/chair_model.h"

namespace chair::sim {

struct WriteRecord {
  std::string type;  // "request" or "command"
  Bytes value;
};

class BluezSim {
 public:
  // Called on the scheduler thread for every write the chair accepted.
  using WriteListener = std::function<void(const std::string& address, const WriteRecord& write)>;

  BluezSim(sdbus::IConnection& bus, Scheduler& scheduler, SimOptions options);
  ~BluezSim();

  void set_write_listener(WriteListener listener) { write_listener_ = std::move(listener); }

  // Exports "/", the adapter and the known devices and starts the periodic work.
  // Runs on the scheduler thread (use scheduler.call).
  void start();
  // Drops every object without signals. Scheduler thread.
  void stop();

  // A peer left the bus: its discovery and notification sessions end. Any thread.
  void on_name_lost(const std::string& unique_name);

  // Test control commands ("drop", "power", ...). Scheduler thread. Returns the text to print.
  Result<std::string> control(const std::vector<std::string>& args);

 private:
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
    std::unique_ptr<sdbus::IObject> object;  // set while exported
    bool connected = false;
    bool resolved = false;
    bool ever_connected = false;
    int16_t rssi = 0;  // 0: not seen since discovery last started
    uint64_t removal_gen = 0;
    uint64_t connect_gen = 0;
    uint64_t link_gen = 0;
    std::shared_ptr<sdbus::Result<>> pending_connect;
    std::vector<std::shared_ptr<sdbus::Result<>>> pending_disconnects;
    std::optional<std::pair<std::string, std::string>> refusal;  // error name, message
    std::vector<WriteRecord> writes;
    std::vector<std::unique_ptr<ServiceSim>> services;
    std::vector<std::unique_ptr<CharSim>> chars;
    bool flush_scheduled = false;
  };

  // Changes of state happen under the lock, signals after it.
  template <class F>
  void locked(F f) {
    std::lock_guard lock(mutex_);
    f();
  }

  DeviceSim* find(const std::string& address);
  Result<DeviceSim*> device_arg(const std::vector<std::string>& args, size_t index);

  void export_adapter();
  void export_device(DeviceSim& d);
  void remove_gatt(DeviceSim& d);
  void remove_device(DeviceSim& d);
  void build_gatt(DeviceSim& d);
  void announce();
  void start_discovery_effects();
  void stop_discovery_effects();
  void link_up(DeviceSim& d, const std::shared_ptr<sdbus::Result<>>& reply);
  void link_down(DeviceSim& d);
  void arm_sessions(DeviceSim& d, bool armed);
  void set_notifying(CharSim& c);
  void set_powered(bool on);
  void drop_discovery_session(const std::string& sender);
  void send_answers(DeviceSim& d, const std::vector<Bytes>& notes);
  void deliver(DeviceSim& d, CharSim& c, const Bytes& value);
  bool duplicate_data() const;
  int16_t jitter_rssi(const DeviceSim& d);

  // Method bodies, on the scheduler thread.
  void start_discovery(const std::string& sender, std::shared_ptr<sdbus::Result<>> reply);
  void stop_discovery(const std::string& sender, std::shared_ptr<sdbus::Result<>> reply);
  void connect(DeviceSim& d, std::shared_ptr<sdbus::Result<>> reply);
  void disconnect(DeviceSim& d, std::shared_ptr<sdbus::Result<>> reply);
  void write_value(DeviceSim& d, CharSim& c, Bytes value, std::optional<std::string> type,
                   std::shared_ptr<sdbus::Result<>> reply);
  void start_notify(DeviceSim& d, CharSim& c, const std::string& sender, std::shared_ptr<sdbus::Result<>> reply);
  void stop_notify(CharSim& c, const std::string& sender, std::shared_ptr<sdbus::Result<>> reply);

  sdbus::IConnection& bus_;
  Scheduler& scheduler_;
  SimOptions options_;
  WriteListener write_listener_;

  mutable std::mutex mutex_;  // guards what the getters read
  bool powered_ = true;
  bool discovering_ = false;
  std::map<std::string, bool> discovery_sessions_;  // sender -> DuplicateData
  std::map<std::string, bool> filters_;             // sender -> DuplicateData of its last filter
  std::map<std::string, std::unique_ptr<DeviceSim>> devices_;  // by address; records stay, objects come and go
  std::unique_ptr<sdbus::IObject> root_;
  std::unique_ptr<sdbus::IObject> adapter_;
  std::string adapter_path_ = "/org/bluez/hci0";
  std::mt19937 rng_{12345};
  bool stopped_ = false;
};

}  // namespace chair::sim
