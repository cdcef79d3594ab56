#include "ble/bluez/bus.h"

#include "ble/bluez/names.h"
#include "ble/bluez/texts.h"

namespace chair::ble::bluez {

BusConnection::BusConnection(std::unique_ptr<sdbus::IConnection> connection) : connection_(std::move(connection)) {}

BusConnection::~BusConnection() {
  stop();
  // Destroyed outside our lock: a proxy takes the library's own lock on its way out.
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
  {
    std::lock_guard lock(proxies_mutex_);
    proxies.swap(proxies_);
  }
  proxies.clear();
  slots_.clear();
}

Result<std::unique_ptr<BusConnection>> BusConnection::open() {
  try {
    return std::unique_ptr<BusConnection>(new BusConnection(sdbus::createSystemBusConnection()));
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

Status BusConnection::add_match(const std::string& rule, SignalHandler handler) {
  try {
    slots_.push_back(connection_->addMatch(rule, [handler = std::move(handler)](sdbus::Message& msg) {
      // The library does not guard these handlers: nothing may escape into its C loop.
      try {
        handler(msg);
      } catch (...) {
      }
    }));
    return {};
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

Status BusConnection::start(std::function<void()> lost) {
  try {
    loop_ = std::thread([this, lost = std::move(lost)] {
      loop_id_ = std::this_thread::get_id();
      try {
        connection_->enterEventLoop();
      } catch (...) {
        // The connection broke (the bus went away); pending calls have had their error replies.
      }
      alive_ = false;
      try {
        lost();
      } catch (...) {
      }
    });
    return {};
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

void BusConnection::stop() {
  if (!loop_.joinable()) return;
  try {
    connection_->leaveEventLoop();
  } catch (...) {
  }
  loop_.join();
}

Result<sdbus::MethodReply> BusConnection::call(const std::string& path, const char* iface, const char* method,
                                               const Arguments& args, std::chrono::microseconds timeout) {
  if (!alive_) return fail(kConnectionLostText);
  try {
    auto proxy = sdbus::createProxy(*connection_, kBluezService, path);
    auto msg = proxy->createMethodCall(iface, method);
    if (args) args(msg);
    return proxy->callMethod(msg, timeout);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

Status BusConnection::call_async(const std::string& path, const char* iface, const char* method,
                                 std::chrono::microseconds timeout, ReplyHandler done, const Arguments& args) {
  if (!alive_) return fail(kConnectionLostText);
  try {
    sdbus::IProxy* proxy = nullptr;
    {
      std::lock_guard lock(proxies_mutex_);
      auto& slot = proxies_[path];
      if (!slot) slot = sdbus::createProxy(*connection_, kBluezService, path);
      proxy = slot.get();
    }
    auto msg = proxy->createMethodCall(iface, method);
    if (args) args(msg);
    (void)proxy->callMethod(
        msg,
        [done = std::move(done)](sdbus::MethodReply& reply, const sdbus::Error* error) {
          try {
            done(reply, error);
          } catch (...) {
          }
        },
        timeout);
    return {};
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

Result<ObjectSnapshot> BusConnection::managed_objects() {
  auto reply = call(kRootPath, kObjectManagerIface, kGetManagedObjects);
  if (!reply) return reply.take_error();
  try {
    ManagedObjects objects;
    reply.value() >> objects;
    return parse_managed_objects(objects);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

Result<bool> BusConnection::get_bool(const std::string& path, const char* iface, const char* name) {
  auto reply = call(path, kPropertiesIface, kGet,
                    [&](sdbus::MethodCall& msg) { msg << std::string(iface) << std::string(name); });
  if (!reply) return reply.take_error();
  try {
    sdbus::Variant value;
    reply.value() >> value;
    if (!value.containsValueOfType<bool>()) return fail(std::string("unexpected type of ") + name);
    return value.get<bool>();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace chair::ble::bluez
