// The name cache over a platform's listing.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "paired/paired_names.h"
#include "test_env.h"

namespace chair::paired {
namespace {

// A platform that lists paired names; it has no other operation.
class NamesPlatform : public ble::Platform {
 public:
  void set(Result<ble::PairedNames> names) {
    std::lock_guard lock(mutex_);
    names_ = std::move(names);
  }
  Result<ble::PairedNames> paired_device_names() override {
    std::lock_guard lock(mutex_);
    return names_;
  }
  ble::Availability availability() override { return ble::Availability::no_adapter("unused"); }
  Result<std::unique_ptr<ble::Scan>> start_scan(ble::AdvertisementHandler) override { return fail("unused"); }
  Result<ble::ConnectionPtr> open(uint64_t) override { return fail("unused"); }

 private:
  std::mutex mutex_;
  Result<ble::PairedNames> names_ = ble::PairedNames{};
};

class PairedListing : public ::testing::Test {
 protected:
  // The cache first holds the names of an earlier listing.
  void seed() {
    platform_->set(ble::PairedNames{{"AABBCCDDEEFF", "previous"}});
    names_.refresh_now();
    ASSERT_EQ(names_.lookup("AABBCCDDEEFF"), "previous");
  }
  bool still_seeded() const { return names_.lookup("AA:BB:CC:DD:EE:FF") == "previous"; }

  std::shared_ptr<NamesPlatform> platform_ = std::make_shared<NamesPlatform>();
  PairedNames names_{platform_};
};

TEST_F(PairedListing, ListingReplacesTheCacheWhole) {
  seed();
  platform_->set(ble::PairedNames{{"C0FFEE01020A", "TAMRO X1"}});
  names_.refresh_now();
  EXPECT_EQ(names_.lookup("c0:ff:ee:01:02:0a"), "TAMRO X1");
  EXPECT_EQ(names_.lookup("C0FFEE01020A"), "TAMRO X1");
  EXPECT_FALSE(still_seeded());

  seed();
  platform_->set(ble::PairedNames{});
  names_.refresh_now();
  EXPECT_FALSE(still_seeded());
}

TEST_F(PairedListing, FailedListingLeavesTheCacheAlone) {
  seed();
  platform_->set(fail("bus down"));
  names_.refresh_now();
  EXPECT_TRUE(still_seeded());
}

TEST_F(PairedListing, RefreshRunsTheListingOnItsOwnThread) {
  platform_->set(ble::PairedNames{{"C0FFEE01020A", "TAMRO"}});
  names_.refresh();
  EXPECT_TRUE(test::eventually([&] { return names_.lookup("C0:FF:EE:01:02:0A") == "TAMRO"; }));
}

}  // namespace
}  // namespace chair::paired
