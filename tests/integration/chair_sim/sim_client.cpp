#include "sim_client.h"

#include <gtest/gtest.h>

#include <thread>

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

SimFixture::SimFixture(std::vector<std::string> args) {
  std::vector<std::string> argv{chair_bin("chair-sim"), "--bus", bus.address()};
  argv.insert(argv.end(), args.begin(), args.end());
  sim = std::make_unique<ChildProcess>(argv);
  if (!sim->wait_for_line("READY")) throw std::runtime_error("chair-sim did not become ready");
  client = std::make_unique<SimClient>(bus.address());
}

std::string SimFixture::ctl(std::vector<std::string> args, bool expect_ok) {
  std::vector<std::string> argv{chair_bin("chair-sim"), "ctl", "--bus", bus.address()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess p(argv);
  p.wait_for([](const std::string&) { return false; }, std::chrono::seconds(5));  // until it closes stdout
  const int code = p.terminate();
  if (expect_ok) {
    EXPECT_EQ(code, 0) << "ctl " << args[0];
  } else {
    EXPECT_NE(code, 0) << "ctl " << args[0];
  }
  std::string out;
  for (const auto& l : p.lines()) out += l + "\n";
  return out;
}

std::string hex(const Bytes& bytes) {
  std::string out;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

Bytes unhex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 3)
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace chair::test
