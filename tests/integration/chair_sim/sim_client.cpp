#include "sim_client.h"

#include <gtest/gtest.h>

namespace chair::test {

SimClient::SimClient(const std::string& address) : conn_(sdbus::createSessionBusConnectionWithAddress(address)) {
  match_ = conn_->addMatch(std::string("type='signal',sender='") + kBluezService + "'", [this](sdbus::Message& m) {
    try {
      Sig s;
      s.path = m.getPath();
      s.member = m.getMemberName();
      if (s.member == kPropertiesChanged) {
        m >> s.iface >> s.changed >> s.invalidated;
      } else if (s.member == kInterfacesAdded) {
        sdbus::ObjectPath object;
        m >> object >> s.added;
        s.object = object;
      } else if (s.member == kInterfacesRemoved) {
        sdbus::ObjectPath object;
        m >> object >> s.removed;
        s.object = object;
      }
      std::lock_guard lock(mutex_);
      signals_.push_back(std::move(s));
    } catch (...) {
    }
  });
  conn_->enterEventLoopAsync();
}

SimClient::~SimClient() { conn_->leaveEventLoop(); }

std::vector<Sig> SimClient::signals() const {
  std::lock_guard lock(mutex_);
  return signals_;
}

size_t SimClient::size() const {
  std::lock_guard lock(mutex_);
  return signals_.size();
}

std::optional<Sig> SimClient::wait(const std::function<bool(const Sig&)>& pred, std::chrono::milliseconds timeout,
                                   size_t from) {
  std::optional<Sig> found;
  eventually(
      [&] {
        std::lock_guard lock(mutex_);
        for (size_t i = from; i < signals_.size(); ++i) {
          if (pred(signals_[i])) {
            found = signals_[i];
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

size_t SimClient::count(const std::function<bool(const Sig&)>& pred) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& s : signals_) n += pred(s) ? 1 : 0;
  return n;
}

long SimClient::index_of(const std::function<bool(const Sig&)>& pred, size_t from) const {
  std::lock_guard lock(mutex_);
  for (size_t i = from; i < signals_.size(); ++i) {
    if (pred(signals_[i])) return static_cast<long>(i);
  }
  return -1;
}

std::string SimClient::call(const std::string& path, const std::string& iface, const std::string& method) {
  try {
    auto proxy = sdbus::createProxy(*conn_, kBluezService, path);
    proxy->callMethod(method).onInterface(iface).withTimeout(std::chrono::seconds(5));
    return "";
  } catch (const sdbus::Error& e) {
    return e.getName() + ": " + e.getMessage();
  }
}

std::string SimClient::write(const std::string& path, const Bytes& value, const std::string& type) {
  try {
    auto proxy = sdbus::createProxy(*conn_, kBluezService, path);
    Props options;
    if (!type.empty()) options[kWriteType] = sdbus::Variant(type);
    proxy->callMethod(kWriteValue)
        .onInterface(kCharIface)
        .withTimeout(std::chrono::seconds(5))
        .withArguments(value, options);
    return "";
  } catch (const sdbus::Error& e) {
    return e.getName() + ": " + e.getMessage();
  }
}

ManagedObjects SimClient::objects() {
  auto proxy = sdbus::createProxy(*conn_, kBluezService, kRootPath);
  ManagedObjects out;
  proxy->callMethod(kGetManagedObjects).onInterface(kObjectManagerIface).storeResultsTo(out);
  return out;
}

Props SimClient::props(const std::string& path, const std::string& iface) {
  auto proxy = sdbus::createProxy(*conn_, kBluezService, path);
  Props out;
  proxy->callMethod(kGetAll).onInterface(kPropertiesIface).withArguments(iface).storeResultsTo(out);
  return out;
}

std::vector<Bytes> SimClient::values(const std::string& path) const {
  std::lock_guard lock(mutex_);
  std::vector<Bytes> out;
  for (const auto& s : signals_) {
    if (s.path == path && s.changes(kCharIface, kValue)) out.push_back(s.changed.at(kValue).get<Bytes>());
  }
  return out;
}

std::string SimFixture::ctl(const std::vector<std::string>& args, bool expect_ok) {
  std::vector<std::string> argv{bin_path("chair-sim"), "ctl", "--bus", daemon.bus_address()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess p(argv);
  const int code = p.wait(std::chrono::seconds(5));
  if (expect_ok) {
    EXPECT_EQ(code, 0) << "ctl " << args[0] << ": " << p.err();
  } else {
    EXPECT_NE(code, 0) << "ctl " << args[0];
  }
  return p.out();
}

}  // namespace chair::test
