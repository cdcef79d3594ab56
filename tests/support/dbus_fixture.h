// A private dbus-daemon per test, for anything that talks D-Bus.
#pragma once

#include <memory>
#include <string>

#include "service_process.h"

namespace chair::test {

// A dbus-daemon of its own with a permissive configuration (anyone may own any name, such as
// org.bluez, and send or receive anything), listening in a temporary directory.
class PrivateBus {
 public:
  PrivateBus();  // throws std::runtime_error when the daemon does not start
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // "unix:path=/tmp/.../bus,guid=..."
  const std::string& address() const { return address_; }

 private:
  std::string dir_;
  std::string address_;
  std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace chair::test
