// The chair does what it was last told: after a shutdown it stays quiet, whatever the
// supervisor would otherwise do.
#include <gtest/gtest.h>

#include "bluez_rig.h"
#include "eventually.h"

namespace chair::test {
namespace {

constexpr const char* kChair = "C0:FF:EE:01:02:0A";
constexpr const char* kChairName = "TAMRO-X1";
const std::string kPairedChair = std::string(kChair) + ",name=TAMRO-X1,paired";
const Json kOk = Json::parse(R"({"ok":true})");

bool link_activity(const Json& record) {
  const std::string type = record.value("type", "");
  const std::string status = record.value("status", "");
  return type == "autoconnect" || (type == "status" && (status == "connecting" || status == "connected"));
}

TEST(ShutdownHolds, TheBoundChairIsNotReconnectedUntilTheUIAsks) {
  BluezRig rig({.sim_args = {"--chair", kPairedChair}, .bound_address = kChair, .bound_name = kChairName});
  ASSERT_TRUE(rig.events().wait_status("connected", 10s)) << rig.events().dump();

  const size_t at = rig.events().size();
  ASSERT_EQ(rig.api("/api/shutdown"), kOk);
  ASSERT_TRUE(rig.events().wait_status("idle", 3s, at)) << rig.events().dump(at);
  ASSERT_TRUE(eventually([&] { return rig.chair_status(kChair)["connected"] == false; }, 5s));
  const size_t held = rig.events().size();
  const size_t writes = rig.writes(kChair).size();

  // The supervisor passes every 3 s: three of its passes and more.
  EXPECT_FALSE(rig.events().wait(link_activity, 10s, held)) << rig.events().dump(held);
  EXPECT_EQ(rig.chair_status(kChair)["connected"], false);
  EXPECT_EQ(rig.writes(kChair).size(), writes) << "the chair heard nothing more";
  EXPECT_EQ(rig.api("/api/bind/get")["autoConnect"], true) << "the next start reconnects as before";

  rig.connect(kChair, kChairName);
}

}  // namespace
}  // namespace chair::test
