// `chair-sim ctl`: the control interface from the command line, for scripts.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "control.h"
#include "sim_options.h"

namespace chair::sim {

int run_ctl(const std::vector<std::string>& all_args) {
  std::string bus_address;
  std::vector<std::string> args;
  for (size_t i = 0; i < all_args.size(); ++i) {
    if (all_args[i] == "--bus" && i + 1 < all_args.size())
      bus_address = all_args[++i];
    else
      args.push_back(all_args[i]);
  }
  if (args.empty()) {
    std::fputs(kSimUsage, stderr);
    return 2;
  }
  try {
    auto bus = bus_address.empty() ? sdbus::createSystemBusConnection()
                                   : sdbus::createSessionBusConnectionWithAddress(bus_address);
    auto proxy = sdbus::createProxy(*bus, kControlName, kControlPath);
    if (args[0] == "watch-writes") {
      proxy->uponSignal(kWriteRecorded)
          .onInterface(kControlIface)
          .call([](const std::string& address, const std::string& type, const std::string& hex) {
            std::printf("%s %s %s\n", address.c_str(), type.c_str(), hex.c_str());
            std::fflush(stdout);
          });
      proxy->finishRegistration();
      // The match is in place once a round trip to the simulator has completed.
      std::string ignored;
      proxy->callMethod(kControlCommand)
          .onInterface(kControlIface)
          .withArguments(std::vector<std::string>{"list"})
          .storeResultsTo(ignored);
      std::printf("READY\n");
      std::fflush(stdout);
      bus->enterEventLoop();  // until a signal ends the process
      return 0;
    }
    std::string output;
    proxy->callMethod(kControlCommand).onInterface(kControlIface).withArguments(args).storeResultsTo(output);
    std::fputs(output.c_str(), stdout);
    if (!output.empty() && output.back() != '\n') std::fputc('\n', stdout);
    return 0;
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "chair-sim ctl: %s\n", e.getMessage().c_str());
    return 1;
  }
}

}  // namespace chair::sim
