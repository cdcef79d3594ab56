// The listing worker end to end, with a stand-in "powershell" first on PATH.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "paired/paired_names.h"
#include "test_env.h"

namespace chair::paired {
namespace {

using Names = std::map<std::string, std::string>;

const char* const kScript =
    "$d = Get-PnpDevice -PresentOnly -ErrorAction SilentlyContinue | Where-Object { $_.InstanceId -like "
    "'BTHLE*' } | ForEach-Object { [pscustomobject]@{ id = $_.InstanceId; name = $_.FriendlyName } }; $d | "
    "ConvertTo-Json -Compress";

// A platform that may know the paired names itself; it has no other operation.
class NamesPlatform : public ble::Platform {
 public:
  explicit NamesPlatform(std::optional<Result<ble::PairedNames>> names) : names_(std::move(names)) {}
  void set(std::optional<Result<ble::PairedNames>> names) {
    std::lock_guard lock(mutex_);
    names_ = std::move(names);
  }
  std::optional<Result<ble::PairedNames>> paired_device_names() override {
    std::lock_guard lock(mutex_);
    return names_;
  }
  ble::Availability availability() override { return {ble::Availability::State::NoAdapter, "unused"}; }
  Result<std::unique_ptr<ble::Scan>> start_scan(ble::AdvertisementHandler) override { return fail("unused"); }
  Result<ble::ConnectionPtr> open(uint64_t) override { return fail("unused"); }

 private:
  std::mutex mutex_;
  std::optional<Result<ble::PairedNames>> names_;
};

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
  // The cache first holds the names of an earlier listing; then the platform leaves the
  // listing to PowerShell.
  void seed() {
    platform_->set(Result<ble::PairedNames>(ble::PairedNames{{"AABBCCDDEEFF", "previous"}}));
    names_.refresh_now();
    ASSERT_EQ(names_.lookup("AABBCCDDEEFF"), "previous");
    platform_->set(std::nullopt);
  }
  bool still_seeded() const { return names_.lookup("AA:BB:CC:DD:EE:FF") == "previous"; }

  std::shared_ptr<NamesPlatform> platform_ = std::make_shared<NamesPlatform>(std::nullopt);
  PairedNames names_{platform_};
};

TEST_F(PairedListing, ListingReplacesTheCacheWhole) {
  powershell(
      R"(printf '%s\r\n' '[{"id":"BTHLE\\Dev_c0ffee01020a\\7&2","name":" TAMRO X1 "},{"id":"SWD\\x","name":"Mouse"}]')");
  seed();
  names_.refresh_now();
  EXPECT_EQ(arguments(), (std::vector<std::string>{"-NoProfile", "-NonInteractive", "-Command", kScript}));
  EXPECT_EQ(names_.lookup("c0:ff:ee:01:02:0a"), "TAMRO X1");
  EXPECT_EQ(names_.lookup("C0FFEE01020A"), "TAMRO X1");
  EXPECT_FALSE(still_seeded());
  test::expect_no_children();
}

TEST_F(PairedListing, NullListingEmptiesTheCache) {
  powershell("echo null");
  seed();
  names_.refresh_now();
  EXPECT_FALSE(still_seeded());
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
    seed();
    names_.refresh_now();
    EXPECT_TRUE(still_seeded()) << run.label;
  }
  test::expect_no_children();
}

TEST_F(PairedListing, MissingPowershellLeavesTheCacheAlone) {
  test::TempDir empty;
  test::PathFirst only_empty(empty.path(), /*only=*/true);
  seed();
  names_.refresh_now();
  EXPECT_TRUE(still_seeded());
}

TEST_F(PairedListing, StartRunsTheListingOnItsOwnThread) {
  powershell(R"(printf '%s\n' '{"id":"BTHLE\\DEV_C0FFEE01020A","name":"TAMRO"}')");
  names_.refresh();
  EXPECT_TRUE(test::eventually([&] { return names_.lookup("C0:FF:EE:01:02:0A") == "TAMRO"; }));
}

TEST_F(PairedListing, PlatformNamesTakePrecedence) {
  powershell(R"(echo '{"id":"DEV_112233445566","name":"from powershell"}')");

  seed();
  platform_->set(Result<ble::PairedNames>(ble::PairedNames{{"C0FFEE01020A", "TAMRO"}}));
  names_.refresh_now();
  EXPECT_EQ(names_.lookup("C0:FF:EE:01:02:0A"), "TAMRO");
  EXPECT_FALSE(still_seeded());

  seed();
  platform_->set(Result<ble::PairedNames>(fail("bus down")));
  names_.refresh_now();
  EXPECT_TRUE(still_seeded());
  EXPECT_FALSE(std::filesystem::exists(dir_.file("args"))) << "PowerShell ran although the platform answered";

  // A platform without its own source falls back to the PowerShell listing.
  platform_->set(std::nullopt);
  names_.refresh_now();
  EXPECT_EQ(names_.lookup("11:22:33:44:55:66"), "from powershell");
}

}  // namespace
}  // namespace chair::paired
