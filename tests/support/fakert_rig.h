// One whole Windows installation per test case, on the Linux host: chair-service-fakert.exe
// under Wine (the command in CHAIR_FAKERT_CMD), whose fake runtime holds the chairs given in
// the simulator's words and takes the simulator's control commands over a connection to this
// rig; an event stream open from the start. The surface is BluezRig's, so that one scenario
// drives the service on either platform (scenario_rig.h). The service's PowerShell listing
// finds the test build's stand-in (bin/pnp beside the .exe) through WINEPATH.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bluez_rig.h"

namespace chair::test {

struct FakertRigOptions {
  std::vector<std::string> sim_args{};
  // A chair bound with auto-connect on before the service starts, so the supervisor owns it.
  std::string bound_address{};
  std::string bound_name{};
};

class FakertRig final : public SimulatedInstallation {
 public:
  // Throws when the service or its fake runtime does not come up.
  explicit FakertRig(FakertRigOptions options);
  ~FakertRig();
  FakertRig(const FakertRig&) = delete;
  FakertRig& operator=(const FakertRig&) = delete;

  // Whether CHAIR_FAKERT_CMD gives the command that starts the Windows test build
  // ("/usr/lib/wine/wine64 /abs/build-windows-tests/bin/chair-service-fakert.exe");
  // scenarios skip without it.
  static bool available();
  static std::vector<std::string> command();

  // The end of a scenario: auto-connect off and the chair quieted, then every runtime object
  // the service obtained must be released, no event handler left registered, and no call
  // made from a thread outside an apartment. Fails the test with what is left.
  void expect_released();

  // Over the connection the fake runtime opened to the rig.
  std::string ctl(const std::vector<std::string>& args) override;

 private:
  std::string data_dir_;
  int control_ = -1;
};

}  // namespace chair::test
