#include "ble/none/none_platform.h"

namespace chair::ble {

namespace {

class NonePlatform final : public Platform {
 public:
  Availability availability() override {
    return Availability{Availability::State::NoAdapter, std::string(kNoBackendText)};
  }
  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler) override { return none(); }
  Result<ConnectionPtr> open(uint64_t) override { return none(); }
  // There is nothing paired without an adapter; answering here also spares the start-up
  // a listing process whose result could never be used.
  std::optional<Result<PairedNames>> paired_device_names() override { return Result<PairedNames>(none()); }

 private:
  static Error none() { return fail(std::string(kNoBackendText)); }
};

}  // namespace

PlatformPtr make_none_platform() { return std::make_shared<NonePlatform>(); }

}  // namespace chair::ble
