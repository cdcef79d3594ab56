// A Windows Runtime of our own for the Bluetooth backend's tests: the Bluetooth LE, GATT and
// storage-stream classes the backend activates, built from the backend's own interface
// declarations and linked in place of the system's activation. Behind them stands a small
// world of devices in the simulator's terms (its device descriptions, its control commands), with
// the chair model answering the chair's frames, so that the same scenarios run against the
// BlueZ simulator and against this runtime.
//
// Every call the backend makes is recorded as "Class.Method(arguments)"; every object counts
// itself while it lives, so a test can see that the backend gave back all it obtained.
// Operations stay Started for a moment and then complete on a thread of the runtime, as the
// real ones do; events (advertisements, notifications, a stopped watcher) come on another.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/result.h"
#include "tools/chair-model/chair_model.h"

namespace chair::fakert {

using namespace std::chrono_literals;

struct Options {
  bool adapter = true;                             // the system has a default adapter
  bool powered = true;                             // and its radio is on
  std::chrono::milliseconds operation_time{2};     // how long an operation stays Started
  std::chrono::milliseconds announce_interval{0};  // 0: advertisements only through announce()
  std::chrono::milliseconds flush_delay{200};      // chunking: when held-back answers go out
};

// A new world: no devices, no faults, empty records. Objects of the previous world that are
// still held keep working, against nothing.
void reset(Options options = {});

// A device in the simulator's words, e.g. "C0:FF:EE:01:02:0A,name=TAMRO-X1,chunking".
Status add_device(const std::string& description, bool chair = true);
// A new world from the simulator's command line words (--chair DEVICE, --device DEVICE,
// --powered-off, --announce-interval MS; the others are accepted and mean nothing here).
Status reset_from_args(const std::vector<std::string>& args);
// The simulator's control commands, with the same answers: power on|off, silent on|off
// [ADDR], drop ADDR, present ADDR, refuse-writes ADDR [STATUS|0xHRESULT] (the chair's
// refusal: a GATT status, 2 by default, or an error of the operation), accept-writes ADDR,
// layout ADDR NAME, writes ADDR, clear-writes ADDR, status ADDR, list. An error comes back
// as "error: <reason>". One more of the runtime's own, for a test in another process:
// objects, the three records below as {"live":{...},"registrations":n,"apartmentViolations":[...]}.
std::string control(const std::vector<std::string>& args);
// One advertisement of every advertising device to every started watcher.
void announce();

// Faults, by the name the call record uses ("GattCharacteristic.WriteValueWithOptionAsync"),
// for the next `times` calls of that name:
void fail_call(const std::string& call, HRESULT hr, int times = 1);       // the call returns hr
void fail_operation(const std::string& call, HRESULT hr, int times = 1);  // its operation ends in Error
void empty_operation(const std::string& call, int times = 1);             // completes without a result
void hang_operation(const std::string& call, int times = 1);              // stays Started until cancelled

// What happened.
std::vector<std::string> calls(size_t from = 0);
size_t call_count();
// Calls made on a thread that was in no apartment.
std::vector<std::string> apartment_violations();
// Status reads of the operations of this call, all together.
int status_reads(const std::string& call);
// Frames the chair accepted, as "request <hex>" or "command <hex>".
std::vector<std::string> writes(const std::string& address);
sim::ChairState chair_state(const std::string& address);
bool device_connected(const std::string& address);

// Objects alive, by class; the factories, which live as long as the process, are not counted.
std::map<std::string, int> live_objects();
// Event handlers added and not removed.
int live_registrations();
// Waits until no operation or event is due; false after `timeout`.
bool settle(std::chrono::milliseconds timeout = 5s);

}  // namespace chair::fakert
