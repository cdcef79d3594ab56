#include <dlfcn.h>

#include <mutex>
#include <string>

#include "ble/bluez/module.h"
#include "sys/paths.h"

namespace chair::ble {

namespace {

std::string program_folder() {
  auto self = sys::running_program();
  return self ? self->parent_path().string() : ".";
}

class LoadedPlatform final : public Platform {
 public:
  Availability availability() override {
    auto backend = load();
    if (!backend) return Availability::no_adapter(backend.error());
    return (*backend)->availability();
  }

  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler handler) override {
    auto backend = load();
    if (!backend) return backend.take_error();
    return (*backend)->start_scan(std::move(handler));
  }

  Result<ConnectionPtr> open(uint64_t address) override {
    auto backend = load();
    if (!backend) return backend.take_error();
    return (*backend)->open(address);
  }

  Result<PairedNames> paired_device_names() override {
    auto backend = load();
    if (!backend) return backend.take_error();
    return (*backend)->paired_device_names();
  }

 private:
  // Loaded once; a module that failed to load is not tried again (it will not appear while
  // the process runs). Callers meanwhile wait for the first one to finish.
  Result<PlatformPtr> load() {
    std::call_once(loaded_, [this] {
      const std::string file = program_folder() + "/" + kBluezModuleFile;
      // Never unloaded: the backend's threads run its code until the process ends.
      void* module = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
      if (!module) {
        error_ = std::string("Bluetooth backend not loaded: ") + ::dlerror();
        return;
      }
      auto entry = reinterpret_cast<BluezModuleEntry>(::dlsym(module, kBluezModuleEntry));
      if (!entry) {
        error_ = std::string("Bluetooth backend not loaded: ") + ::dlerror();
        return;
      }
      try {
        entry(backend_);
      } catch (...) {
        backend_.reset();
      }
      if (!backend_) error_ = "Bluetooth backend not loaded: " + file + " made no backend";
    });
    if (backend_) return backend_;
    return fail(error_);
  }

  std::once_flag loaded_;
  PlatformPtr backend_;  // written once, inside loaded_
  std::string error_;    // likewise
};

}  // namespace

PlatformPtr make_loaded_bluez_platform() { return std::make_shared<LoadedPlatform>(); }

}  // namespace chair::ble
