// chair-sim: a Bluetooth controller daemon look-alike on a private bus, with virtual chairs.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/bluez/names.h"
#include "control.h"
#include "replay.h"
#include "scheduler.h"
#include "sim_options.h"
#include "simulator.h"

namespace chair::sim {
namespace {

std::unique_ptr<sdbus::IConnection> open_bus(const std::string& address) {
  if (!address.empty()) return sdbus::createSessionBusConnectionWithAddress(address);
  return sdbus::createSystemBusConnection();
}

// Runs a connection's event loop on a thread of its own; a lost bus ends the process by SIGTERM
// instead of an exception escaping the thread.
class LoopThread {
 public:
  explicit LoopThread(sdbus::IConnection& bus)
      : bus_(bus), thread_([this] {
          try {
            bus_.enterEventLoop();
          } catch (const std::exception& e) {
            std::fprintf(stderr, "chair-sim: bus lost: %s\n", e.what());
            kill(getpid(), SIGTERM);
          }
        }) {}
  ~LoopThread() {
    bus_.leaveEventLoop();
    thread_.join();
  }

 private:
  sdbus::IConnection& bus_;
  std::thread thread_;
};

int run_sim(const SimOptions& options) {
  // Signals are taken by sigwait on the main thread only.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::unique_ptr<sdbus::IConnection> bluez_bus;
  std::unique_ptr<sdbus::IConnection> control_bus;
  try {
    bluez_bus = open_bus(options.bus);
    control_bus = open_bus(options.bus);
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "chair-sim: cannot open the bus: %s\n", e.what());
    return 1;
  }

  Scheduler scheduler;
  Simulator sim(*bluez_bus, *control_bus, scheduler, options);
  try {
    sim.start();
    bluez_bus->requestName(ble::bluez::kBluezService);
    control_bus->requestName(kControlName);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "chair-sim: start failed: %s\n", e.what());
    scheduler.stop();
    return 1;
  }

  int code = 0;
  {
    LoopThread bluez_loop(*bluez_bus);
    LoopThread control_loop(*control_bus);
    std::printf("READY\n");
    std::fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
    code = 0;
  }
  scheduler.stop();
  sim.stop();
  return code;
}

}  // namespace
}  // namespace chair::sim

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "ctl") return chair::sim::run_ctl({args.begin() + 1, args.end()});
  if (!args.empty() && args[0] == "--version") {
    std::printf("chair-sim %s\n", CHAIR_VERSION);
    return 0;
  }
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(chair::sim::kSimUsage, stdout);
    return 0;
  }
  auto options = chair::sim::parse_sim_args(args);
  if (!options) {
    std::fprintf(stderr, "chair-sim: %s\n%s", options.error().c_str(), chair::sim::kSimUsage);
    return 2;
  }
  if (auto replayed = chair::sim::add_replayed_chair(*options); !replayed) {
    std::fprintf(stderr, "chair-sim: %s\n", replayed.error().c_str());
    return 2;
  }
  return chair::sim::run_sim(*options);
}
