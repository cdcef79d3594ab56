#include "ble/platform/guarded.h"

#include <exception>
#include <utility>

namespace chair::ble {
namespace {

// The text of the exception being handled; only inside a catch block.
std::string caught_text() {
  try {
    throw;
  } catch (const std::exception& e) {
    return std::string("internal error: ") + e.what();
  } catch (...) {
    return "internal error";
  }
}

// The call's own result, or its exception as an error of that result.
template <class Call>
auto guard(Call&& call) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (...) {
    return fail(caught_text());
  }
}

template <class... Args>
std::function<void(Args...)> shield(std::function<void(Args...)> handler) {
  return [handler = std::move(handler)](Args... args) noexcept {
    try {
      handler(args...);
    } catch (...) {
      // A handler's failure costs that one callback.
    }
  };
}

class GuardedScan final : public Scan {
 public:
  explicit GuardedScan(std::unique_ptr<Scan> inner) : inner_(std::move(inner)) {}
  void stop() noexcept override {
    try {
      inner_->stop();
    } catch (...) {
    }
  }

 private:
  std::unique_ptr<Scan> inner_;
};

class GuardedConnection final : public Connection {
 public:
  explicit GuardedConnection(ConnectionPtr inner) : inner_(std::move(inner)) {}

  Result<std::string> name() noexcept override {
    return guard([&] { return inner_->name(); });
  }
  Result<std::vector<GattService>> services() noexcept override {
    return guard([&] { return inner_->services(); });
  }
  Result<std::vector<GattCharacteristic>> characteristics(const GattService& service) noexcept override {
    return guard([&] { return inner_->characteristics(service); });
  }
  Result<bool> connected() noexcept override {
    return guard([&] { return inner_->connected(); });
  }
  Result<GattStatus> subscribe(const GattCharacteristic& characteristic, Subscription kind,
                               NotificationHandler handler) noexcept override {
    return guard([&] { return inner_->subscribe(characteristic, kind, shield(std::move(handler))); });
  }
  WriteResult write(const GattCharacteristic& characteristic, std::span<const uint8_t> bytes,
                    WriteOption option) noexcept override {
    return guard([&] { return inner_->write(characteristic, bytes, option); });
  }
  void close() noexcept override {
    try {
      inner_->close();
    } catch (...) {
    }
  }

 private:
  ConnectionPtr inner_;
};

class GuardedPlatform final : public Platform {
 public:
  explicit GuardedPlatform(PlatformPtr inner) : inner_(std::move(inner)) {}

  Availability availability() noexcept override {
    try {
      return inner_->availability();
    } catch (...) {
      return Availability::no_adapter(caught_text());
    }
  }
  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler handler) noexcept override {
    return guard([&]() -> Result<std::unique_ptr<Scan>> {
      auto scan = inner_->start_scan(shield(std::move(handler)));
      if (!scan) return scan.take_error();
      return std::unique_ptr<Scan>(std::make_unique<GuardedScan>(std::move(*scan)));
    });
  }
  Result<ConnectionPtr> open(uint64_t address) noexcept override {
    return guard([&]() -> Result<ConnectionPtr> {
      auto connection = inner_->open(address);
      if (!connection) return connection.take_error();
      return ConnectionPtr(std::make_shared<GuardedConnection>(std::move(*connection)));
    });
  }
  Result<PairedNames> paired_device_names() noexcept override {
    return guard([&] { return inner_->paired_device_names(); });
  }

 private:
  PlatformPtr inner_;
};

}  // namespace

PlatformPtr make_guarded_platform(PlatformPtr inner) {
  if (!inner) return nullptr;
  return std::make_shared<GuardedPlatform>(std::move(inner));
}

}  // namespace chair::ble
