#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <system_error>

#include "ble/bluez/module.h"
#include "ble/platform/guarded.h"
#include "sys/paths.h"

namespace chair::ble {

namespace {

constexpr const char* kNotLoaded = "Bluetooth backend not loaded: ";

// dlopen takes whatever the path names, a folder or a pipe included, and hangs on a pipe.
Status check_module_file(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return fail(file + ": " + std::system_category().message(errno));
  if (!S_ISREG(st.st_mode)) return fail(file + ": not a regular file");
  if (::access(file.c_str(), R_OK) != 0) return fail(file + ": " + std::system_category().message(errno));
  return {};
}

class LoadedPlatform final : public Platform {
 public:
  explicit LoadedPlatform(std::filesystem::path file) : file_(std::move(file)) {}

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
      const std::string file = file_.string();
      if (auto usable = check_module_file(file); !usable) {
        error_ = kNotLoaded + usable.error();
        return;
      }
      // Never unloaded: the backend's threads run its code until the process ends.
      void* module = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
      auto entry = module ? reinterpret_cast<BluezModuleEntry>(::dlsym(module, kBluezModuleEntry)) : nullptr;
      if (!entry) {
        const char* why = ::dlerror();
        error_ = kNotLoaded + (why ? std::string(why) : file + ": no entry");
        return;
      }
      PlatformPtr made;
      entry(made);
      // Our side wraps it too: the handlers we hand in must not throw into the module.
      backend_ = make_guarded_platform(std::move(made));
      if (!backend_) error_ = kNotLoaded + file + " made no backend";
    });
    if (backend_) return backend_;
    return fail(error_);
  }

  const std::filesystem::path file_;
  std::once_flag loaded_;
  PlatformPtr backend_;  // written once, inside loaded_
  std::string error_;    // likewise
};

}  // namespace

std::filesystem::path bluez_module_path() {
  auto self = sys::running_program();
  return (self ? self->parent_path() : sys::installed_service_dir()) / kBluezModuleFile;
}

PlatformPtr make_loaded_bluez_platform(std::filesystem::path file) {
  return std::make_shared<LoadedPlatform>(std::move(file));
}

}  // namespace chair::ble
