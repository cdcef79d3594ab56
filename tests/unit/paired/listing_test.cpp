// The listing worker end to end, with a stand-in "powershell" first on PATH.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "main/service_state.h"
#include "pnp/paired_names.h"
#include "test_env.h"

namespace chair::pnp {
namespace {

using Names = std::map<std::string, std::string>;

const char* const kScript =
    "$d = Get-PnpDevice -PresentOnly -ErrorAction SilentlyContinue | Where-Object { $_.InstanceId -like "
    "'BTHLE*' } | ForEach-Object { [pscustomobject]@{ id = $_.InstanceId; name = $_.FriendlyName } }; $d | "
    "ConvertTo-Json -Compress";

Names cache_of(ServiceState& state) {
  std::lock_guard lock(state.paired.mutex);
  return Names(state.paired.names.begin(), state.paired.names.end());
}

void seed(ServiceState& state, Names names) {
  std::lock_guard lock(state.paired.mutex);
  state.paired.names = PairedNameMap(names.begin(), names.end());
}

std::vector<std::string> split_nul(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\0') {
      out.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

class PairedListing : public ::testing::Test {
 protected:
  // A stand-in that records its arguments and then runs `body`.
  void powershell(const std::string& body) {
    dir_.script("powershell", "printf '%s\\0' \"$@\" > '" + dir_.file("args") + "'\n" + body);
  }
  std::vector<std::string> arguments() const { return split_nul(test::read_file(dir_.file("args"))); }

  test::TempDir dir_;
  test::PathFirst path_{dir_.path()};
  std::shared_ptr<ServiceState> state_ = std::make_shared<ServiceState>(nullptr);
  const Names old_ = {{"AABBCCDDEEFF", "previous"}};
};

TEST_F(PairedListing, ListingReplacesTheCacheWhole) {
  powershell(R"(printf '%s\r\n' '[{"id":"BTHLE\\Dev_c0ffee01020a\\7&2","name":" TAMRO X1 "},{"id":"SWD\\x","name":"Mouse"}]')");
  seed(*state_, old_);
  list_paired_devices(state_);
  EXPECT_EQ(cache_of(*state_), (Names{{"C0FFEE01020A", "TAMRO X1"}}));
  EXPECT_EQ(arguments(), (std::vector<std::string>{"-NoProfile", "-NonInteractive", "-Command", kScript}));
  EXPECT_EQ(lookup_paired_name(*state_, "c0:ff:ee:01:02:0a"), "TAMRO X1");
  EXPECT_EQ(lookup_paired_name(*state_, "AA:BB:CC:DD:EE:FF"), "");
  test::expect_no_children();
}

TEST_F(PairedListing, NullListingEmptiesTheCache) {
  powershell("echo null");
  seed(*state_, old_);
  list_paired_devices(state_);
  EXPECT_EQ(cache_of(*state_), Names{});
}

TEST_F(PairedListing, FailedRunsLeaveTheCacheAlone) {
  const struct {
    const char* label;
    std::string body;
  } runs[] = {
      {"no output", "exit 0"},
      {"error text and a failing exit", "echo 'Get-PnpDevice : The term is not recognized' ; exit 1"},
      {"only stderr", "echo '[]' >&2"},
      // Valid JSON, but beyond the 1 MiB bound: the run fails before parsing.
      {"too much output",
       "printf '%s' '[{\"id\":\"DEV_C0FFEE01020A\",\"name\":\"big\"}'; head -c 1100000 /dev/zero | tr '\\0' ' '; "
       "echo ']'"},
  };
  for (const auto& run : runs) {
    powershell(run.body);
    seed(*state_, old_);
    list_paired_devices(state_);
    EXPECT_EQ(cache_of(*state_), old_) << run.label;
  }
  test::expect_no_children();
}

TEST_F(PairedListing, MissingPowershellLeavesTheCacheAlone) {
  test::TempDir empty;
  test::PathFirst only_empty(empty.path(), /*only=*/true);
  seed(*state_, old_);
  list_paired_devices(state_);
  EXPECT_EQ(cache_of(*state_), old_);
}

TEST_F(PairedListing, StartRunsTheListingOnItsOwnThread) {
  powershell(R"(printf '%s\n' '{"id":"BTHLE\\DEV_C0FFEE01020A","name":"TAMRO"}')");
  start_paired_listing(state_);
  EXPECT_TRUE(test::eventually([&] { return lookup_paired_name(*state_, "C0:FF:EE:01:02:0A") == "TAMRO"; }));
}

// A platform that knows the paired names itself; every other operation is unused here.
class NamesPlatform : public ble::Platform {
 public:
  explicit NamesPlatform(std::optional<Result<ble::PairedNames>> names) : names_(std::move(names)) {}
  std::atomic<int> init_calls{0};

  void init_thread() override { ++init_calls; }
  std::optional<Result<ble::PairedNames>> paired_device_names() override { return names_; }

  ble::Async<std::shared_ptr<ble::Adapter>> get_default_adapter_async() override {
    return ble::completed<std::shared_ptr<ble::Adapter>>(fail("unused"));
  }
  Result<std::shared_ptr<ble::Watcher>> create_watcher() override { return fail("unused"); }
  ble::Async<ble::DevicePtr> device_from_address_async(uint64_t) override {
    return ble::completed<ble::DevicePtr>(fail("unused"));
  }
  ble::Async<ble::SessionPtr> session_from_device_id_async(const std::string&) override {
    return ble::completed<ble::SessionPtr>(fail("unused"));
  }
  Result<ble::BufferPtr> create_buffer(std::span<const uint8_t>) override { return fail("unused"); }
  Result<std::vector<uint8_t>> read_buffer(const ble::BufferPtr&) override { return fail("unused"); }

 private:
  std::optional<Result<ble::PairedNames>> names_;
};

TEST_F(PairedListing, PlatformNamesTakePrecedence) {
  powershell(R"(echo '{"id":"DEV_112233445566","name":"from powershell"}')");

  auto with_names = std::make_shared<NamesPlatform>(Result<ble::PairedNames>(ble::PairedNames{{"C0FFEE01020A", "TAMRO"}}));
  auto state = std::make_shared<ServiceState>(with_names);
  seed(*state, old_);
  list_paired_devices(state);
  EXPECT_EQ(cache_of(*state), (Names{{"C0FFEE01020A", "TAMRO"}}));
  EXPECT_EQ(with_names->init_calls, 1);

  auto failing = std::make_shared<NamesPlatform>(Result<ble::PairedNames>(fail("bus down")));
  state = std::make_shared<ServiceState>(failing);
  seed(*state, old_);
  list_paired_devices(state);
  EXPECT_EQ(cache_of(*state), old_);

  EXPECT_FALSE(std::filesystem::exists(dir_.file("args"))) << "PowerShell ran although the platform answered";

  // A platform without its own source falls back to the PowerShell listing.
  state = std::make_shared<ServiceState>(std::make_shared<NamesPlatform>(std::nullopt));
  list_paired_devices(state);
  EXPECT_EQ(cache_of(*state), (Names{{"112233445566", "from powershell"}}));
}

}  // namespace
}  // namespace chair::pnp
