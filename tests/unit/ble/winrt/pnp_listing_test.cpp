// The Plug and Play listing end to end, with a stand-in "powershell" first on PATH. The runner's
// own bounds (standard error, output size, a missing program) are the process tests'.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ble/winrt/pnp_listing.h"
#include "test_env.h"

namespace chair::ble::winrt {
namespace {

using Names = std::map<std::string, std::string>;

class PnpListing : public ::testing::Test {
 protected:
  void powershell(const std::string& body) { dir_.script("powershell", body); }

  test::TempDir dir_;
  test::PathFirst path_{dir_.path()};
};

TEST_F(PnpListing, ReadsWhatPowershellPrints) {
  powershell(
      R"(printf '%s\r\n' '[{"id":"BTHLE\\Dev_c0ffee01020a\\7&2","name":" TAMRO X1 "},{"id":"SWD\\x","name":"Mouse"}]')");
  auto names = list_pnp_devices();
  ASSERT_TRUE(names) << names.error();
  EXPECT_EQ(Names(names->begin(), names->end()), (Names{{"C0FFEE01020A", "TAMRO X1"}}));
  test::expect_no_children();

  powershell("echo null");
  names = list_pnp_devices();
  ASSERT_TRUE(names) << names.error();
  EXPECT_TRUE(names->empty());
}

TEST_F(PnpListing, FailedRunsAreErrors) {
  for (const char* body : {"exit 0", "echo 'Get-PnpDevice : The term is not recognized' ; exit 1"}) {
    powershell(body);
    EXPECT_FALSE(list_pnp_devices()) << body;
  }
  test::expect_no_children();
}

}  // namespace
}  // namespace chair::ble::winrt
