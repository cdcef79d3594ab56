// The simulator's own test control, on a connection and bus name of its own so that a backend
// under test sees nothing of it under org.bluez.
//
//   bus name   com.chairsim.Control
//   object     /chairsim
//   interface  com.chairsim.Control1
//     Command(as args) -> (s output)     e.g. ["drop", "C0:FF:EE:01:02:0A"]; errors as
//                                        com.chairsim.Error.Failed with the reason
//     signal WriteRecorded(s address, s type, s hex)   every write a chair accepted
#pragma once

#include <string>
#include <vector>

namespace chair::sim {

constexpr const char* kControlName = "com.chairsim.Control";
constexpr const char* kControlPath = "/chairsim";
constexpr const char* kControlIface = "com.chairsim.Control1";
constexpr const char* kControlError = "com.chairsim.Error.Failed";
constexpr const char* kControlCommand = "Command";
constexpr const char* kWriteRecorded = "WriteRecorded";

// `chair-sim ctl ...`: args are what follows "ctl". Returns the exit code.
int run_ctl(const std::vector<std::string>& args);

}  // namespace chair::sim
