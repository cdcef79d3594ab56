// The name cache over a platform's listing.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fake_platform.h"
#include "paired/paired_names.h"
#include "test_env.h"

namespace chair::paired {
namespace {

class PairedListing : public ::testing::Test {
 protected:
  // The cache first holds the names of an earlier listing.
  void seed() {
    platform_->set_paired_names(ble::PairedNames{{"AABBCCDDEEFF", "previous"}});
    names_.refresh_now();
    ASSERT_EQ(names_.lookup("AABBCCDDEEFF"), "previous");
  }
  bool still_seeded() const { return names_.lookup("AA:BB:CC:DD:EE:FF") == "previous"; }

  std::shared_ptr<test::FakePlatform> platform_ = std::make_shared<test::FakePlatform>();
  PairedNames names_{platform_};
};

TEST_F(PairedListing, ListingReplacesTheCacheWhole) {
  seed();
  platform_->set_paired_names(ble::PairedNames{{"C0FFEE01020A", "TAMRO X1"}});
  names_.refresh_now();
  EXPECT_EQ(names_.lookup("c0:ff:ee:01:02:0a"), "TAMRO X1");
  EXPECT_EQ(names_.lookup("C0FFEE01020A"), "TAMRO X1");
  EXPECT_FALSE(still_seeded());

  seed();
  platform_->set_paired_names(ble::PairedNames{});
  names_.refresh_now();
  EXPECT_FALSE(still_seeded());
}

TEST_F(PairedListing, FailedListingLeavesTheCacheAlone) {
  seed();
  platform_->set_paired_names(fail("bus down"));
  names_.refresh_now();
  EXPECT_TRUE(still_seeded());
}

TEST_F(PairedListing, RefreshRunsTheListingOnItsOwnThread) {
  platform_->set_paired_names(ble::PairedNames{{"C0FFEE01020A", "TAMRO"}});
  names_.refresh();
  EXPECT_TRUE(test::eventually([&] { return names_.lookup("C0:FF:EE:01:02:0A") == "TAMRO"; }));
}

}  // namespace
}  // namespace chair::paired
