// A D-Bus client for the simulator tests: its own connection to the test's private bus, every
// signal from org.bluez recorded, and short call helpers that turn errors into text.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/bluez/names.h"
#include "eventually.h"
#include "frames.h"
#include "sim_daemon.h"

namespace chair::test {

using namespace ble::bluez;
using Props = std::map<std::string, sdbus::Variant>;
using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, Props>>;

inline constexpr const char* kAdapterPath = kSimAdapterPath;
inline constexpr const char* kChairA = "C0:FF:EE:01:02:0A";
inline const std::string kChairAPath = device_path(kSimAdapterPath, kChairA);
inline const std::string kServicePath = kChairAPath + "/service000a";
inline const std::string kCharPath = kServicePath + "/char000b";
inline constexpr const char* kDataUuid = "7772e5db-3868-4112-a1a9-f2669d106bf3";
inline constexpr const char* kCharIface = kGattCharacteristicIface;

struct Sig {
  std::string path;
  std::string member;  // PropertiesChanged, InterfacesAdded, InterfacesRemoved
  std::string iface;   // PropertiesChanged: the interface
  Props changed;       // PropertiesChanged
  std::vector<std::string> invalidated;
  std::string object;                  // InterfacesAdded/Removed: the object path
  std::map<std::string, Props> added;  // InterfacesAdded
  std::vector<std::string> removed;    // InterfacesRemoved

  bool changes(const std::string& i, const std::string& key) const {
    return member == "PropertiesChanged" && iface == i && changed.count(key);
  }
};

class SimClient {
 public:
  explicit SimClient(const std::string& address);
  ~SimClient();

  sdbus::IConnection& connection() { return *conn_; }
  std::vector<Sig> signals() const;
  // First recorded signal (from index `from`) matching `pred`, waiting up to `timeout`.
  std::optional<Sig> wait(const std::function<bool(const Sig&)>& pred,
                          std::chrono::milliseconds timeout = std::chrono::seconds(3), size_t from = 0);
  size_t count(const std::function<bool(const Sig&)>& pred) const;
  // Index of the first signal (from index `from`) matching `pred`, or -1.
  long index_of(const std::function<bool(const Sig&)>& pred, size_t from = 0) const;
  size_t size() const;

  // Calls a method without result; returns "" or "<error name>: <message>".
  std::string call(const std::string& path, const std::string& iface, const std::string& method);
  std::string write(const std::string& path, const Bytes& value, const std::string& type = "");
  ManagedObjects objects();
  Props props(const std::string& path, const std::string& iface);
  // Values notified on `path` so far, in order.
  std::vector<Bytes> values(const std::string& path = kCharPath) const;

 private:
  std::unique_ptr<sdbus::IConnection> conn_;
  sdbus::Slot match_;
  mutable std::mutex mutex_;
  std::vector<Sig> signals_;
};

// The simulator on a private bus and a client.
struct SimFixture {
  explicit SimFixture(const std::vector<std::string>& args)
      : daemon(args), client(std::make_unique<SimClient>(daemon.bus_address())) {}
  // `chair-sim ctl ...` on this bus; returns its standard output. The exit code must be 0, or
  // not 0 when !expect_ok.
  std::string ctl(const std::vector<std::string>& args, bool expect_ok = true);

  SimulatedDaemon daemon;
  std::unique_ptr<SimClient> client;
};

}  // namespace chair::test
