// The Plug and Play listing end to end, with a stand-in "powershell" first on PATH.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ble/winrt/pnp_listing.h"
#include "test_env.h"

namespace chair::ble::winrt {
namespace {

using Names = std::map<std::string, std::string>;

const char* const kScript =
    "$d = Get-PnpDevice -PresentOnly -ErrorAction SilentlyContinue | Where-Object { $_.InstanceId -like "
    "'BTHLE*' } | ForEach-Object { [pscustomobject]@{ id = $_.InstanceId; name = $_.FriendlyName } }; $d | "
    "ConvertTo-Json -Compress";

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

class PnpListing : public ::testing::Test {
 protected:
  // A stand-in that records its arguments and then runs `body`.
  void powershell(const std::string& body) {
    dir_.script("powershell", "printf '%s\\0' \"$@\" > '" + dir_.file("args") + "'\n" + body);
  }
  std::vector<std::string> arguments() const { return split_nul(test::read_file(dir_.file("args"))); }

  test::TempDir dir_;
  test::PathFirst path_{dir_.path()};
};

TEST_F(PnpListing, ReadsWhatPowershellPrints) {
  powershell(
      R"(printf '%s\r\n' '[{"id":"BTHLE\\Dev_c0ffee01020a\\7&2","name":" TAMRO X1 "},{"id":"SWD\\x","name":"Mouse"}]')");
  auto names = list_pnp_devices();
  ASSERT_TRUE(names) << names.error();
  EXPECT_EQ(arguments(), (std::vector<std::string>{"-NoProfile", "-NonInteractive", "-Command", kScript}));
  EXPECT_EQ(Names(names->begin(), names->end()), (Names{{"C0FFEE01020A", "TAMRO X1"}}));
  test::expect_no_children();

  powershell("echo null");
  names = list_pnp_devices();
  ASSERT_TRUE(names) << names.error();
  EXPECT_TRUE(names->empty());
}

TEST_F(PnpListing, FailedRunsAreErrors) {
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
    EXPECT_FALSE(list_pnp_devices()) << run.label;
  }
  test::expect_no_children();

  test::TempDir empty;
  test::PathFirst only_empty(empty.path(), /*only=*/true);
  EXPECT_FALSE(list_pnp_devices()) << "no PowerShell at all";
}

}  // namespace
}  // namespace chair::ble::winrt
