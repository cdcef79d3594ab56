// Loading the backend module: from where, what counts as broken, and that no exception
// crosses between the module and the service.
#include <gmock/gmock.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "ble/bluez/module.h"
#include "ble/platform/guarded.h"
#include "sys/child.h"
#include "sys/paths.h"
#include "test_env.h"

namespace chair::ble {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(BluezModule, ABrokenModuleReadsLikeAMissingOne) {
  test::TempDir dir;
  std::ofstream(dir.file("garbage.so")) << "not a module";
  const std::pair<std::string, const char*> cases[] = {{dir.file("missing.so"), "No such file or directory"},
                                                       {dir.path().string(), "not a regular file"},
                                                       {dir.file("garbage.so"), "garbage.so"}};
  for (const auto& [file, why] : cases) {
    auto platform = make_loaded_bluez_platform(file);
    const Availability a = platform->availability();
    EXPECT_EQ(a.state, Availability::State::NoAdapter) << file;
    EXPECT_THAT(a.detail, StartsWith("Bluetooth backend not loaded: ")) << file;
    EXPECT_THAT(a.detail, HasSubstr(why)) << file;
    EXPECT_EQ(platform->open(1).error(), a.detail);
  }
  // The module of this build loads (no bus here: the backend's own error).
  auto built = make_loaded_bluez_platform(std::filesystem::path(std::getenv("CHAIR_BIN_DIR")) / kBluezModuleFile);
  EXPECT_THAT(built->availability().detail, ::testing::Not(StartsWith("Bluetooth backend not loaded")));
}

// Neither the module nor the service that chairctl and chair-panel start.
TEST(BluezModule, NeverLoadedFromTheCurrentFolder) {
  if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "needs a mount namespace of its own";
  test::TempDir dir;
  std::ofstream(dir.file(kBluezModuleFile)) << "whatever lies here";
  dir.script("chair-service", "exit 0");
  EXPECT_EXIT(
      {
        // Without /proc the program cannot tell where it is.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0 || ::chdir(dir.path().c_str()) != 0)
          std::_Exit(2);
        const std::filesystem::path installed = sys::installed_service_dir();
        const bool ok = bluez_module_path() == installed / kBluezModuleFile && installed.is_absolute() &&
                        sys::companion_program("chair-service", {"../libexec/chair-service"}) ==
                            (installed / "chair-service").string();
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// A backend that throws from every call, and calls the handlers it is given.
class Throwing final : public Platform, public Scan, public Connection {
 public:
  [[noreturn]] static void boom() { throw std::runtime_error("boom"); }
  Availability availability() override { boom(); }
  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler handler) override {
    handler(Advertisement{});
    boom();
  }
  Result<ConnectionPtr> open(uint64_t) override { return ConnectionPtr(std::make_shared<Throwing>()); }
  Result<PairedNames> paired_device_names() override { throw 42; }
  void stop() override { boom(); }
  Result<std::string> name() override { boom(); }
  Result<std::vector<GattService>> services() override { boom(); }
  Result<std::vector<GattCharacteristic>> characteristics(const GattService&) override { boom(); }
  Result<bool> connected() override { boom(); }
  Result<GattStatus> subscribe(const GattCharacteristic&, Subscription, NotificationHandler handler) override {
    handler({});
    boom();
  }
  WriteResult write(const GattCharacteristic&, std::span<const uint8_t>, WriteOption) override { boom(); }
  void close() override { boom(); }
};

TEST(GuardedPlatform, NothingThrownGetsThroughEitherWay) {
  auto platform = make_guarded_platform(std::make_shared<Throwing>());
  EXPECT_EQ(platform->availability().detail, "internal error: boom");
  int handled = 0;
  auto scan = platform->start_scan([&](const Advertisement&) {
    ++handled;
    throw std::runtime_error("handler");
  });
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(scan.error(), "internal error: boom");
  EXPECT_EQ(platform->paired_device_names().error(), "internal error");

  auto connection = platform->open(1);
  ASSERT_TRUE(connection);
  auto& c = **connection;
  EXPECT_EQ(c.name().error(), "internal error: boom");
  EXPECT_FALSE(c.subscribe({}, Subscription::Notify, [](std::span<const uint8_t>) { throw 1; }));
  EXPECT_FALSE(c.write({}, {}, WriteOption::WithResponse));
  c.close();
}

}  // namespace
}  // namespace chair::ble
