#include "ble/none/none_platform.h"

namespace chair::ble {

namespace {

class NonePlatform final : public Platform {
 public:
  Async<std::shared_ptr<Adapter>> get_default_adapter_async() override {
    return completed<std::shared_ptr<Adapter>>(none());
  }
  Result<std::shared_ptr<Watcher>> create_watcher() override { return none(); }
  Async<DevicePtr> device_from_address_async(uint64_t) override {
    return completed<DevicePtr>(none());
  }
  Async<SessionPtr> session_from_device_id_async(const std::string&) override {
    return completed<SessionPtr>(none());
  }
  Result<BufferPtr> create_buffer(std::span<const uint8_t>) override { return none(); }
  Result<std::vector<uint8_t>> read_buffer(const BufferPtr&) override { return none(); }
  // There is nothing paired without an adapter; answering here also spares the start-up
  // a listing process whose result could never be used.
  std::optional<Result<PairedNames>> paired_device_names() override {
    return Result<PairedNames>(none());
  }

 private:
  static Error none() { return fail(std::string(kNoBackendText)); }
};

}  // namespace

PlatformPtr make_none_platform() { return std::make_shared<NonePlatform>(); }

}  // namespace chair::ble
