#include "ble/none/none_platform.h"

namespace chair::ble {

namespace {

class NonePlatform final : public Platform {
 public:
  Availability availability() override { return Availability::no_adapter(std::string(kNoBackendText)); }
  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler) override { return none(); }
  Result<ConnectionPtr> open(uint64_t) override { return none(); }
  Result<PairedNames> paired_device_names() override { return none(); }

 private:
  static Error none() { return fail(std::string(kNoBackendText)); }
};

}  // namespace

PlatformPtr make_none_platform() { return std::make_shared<NonePlatform>(); }

}  // namespace chair::ble
