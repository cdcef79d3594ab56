// What turns the service into its test build, chair-service-fakert.exe: before main() runs,
// the fake runtime takes its world from the environment and, when the test asks for it,
// answers control commands over a connection to the test.
//
//   CHAIR_FAKERT_ARGS     a JSON array of the simulator's command-line words, e.g.
//                         ["--chair","C0:FF:EE:01:02:0A,name=TAMRO-X1","--announce-interval","150"]
//   CHAIR_FAKERT_CONTROL  the port on 127.0.0.1 where the test listens. Each line the test
//                         sends is a JSON array of strings, one control command of the
//                         simulator's (fakert::control); each line back is {"output":"..."}.
//
// The paired devices of the world go to CHAIR_FAKERT_PNP, in the form of the Plug and Play
// listing the service asks PowerShell for; the stand-in powershell.exe beside this program
// (bin/pnp, found through WINEPATH) prints it, so the service's own listing runs as it does
// on Windows. Only this executable and its stand-in read these variables; the service itself
// has no such switch.
#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/address.h"
#include "fakert/fake_runtime.h"
#include "sys/win_text.h"
#include "tools/chair-sim/sim_options.h"

namespace {

std::string environment(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD n = GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(std::size(buffer)));
  if (n == 0 || n >= std::size(buffer)) return {};
  return chair::sys::wide_to_utf8(std::wstring_view(buffer, n));
}

[[noreturn]] void give_up(const std::string& why) {
  std::fprintf(stderr, "chair-service-fakert: %s\n", why.c_str());
  std::exit(2);
}

// One command per line until the test hangs up.
void serve(SOCKET s) {
  std::string pending;
  char chunk[4096];
  for (;;) {
    const int n = recv(s, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    pending.append(chunk, static_cast<size_t>(n));
    size_t lf;
    while ((lf = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, lf);
      pending.erase(0, lf + 1);
      nlohmann::json reply;
      try {
        reply["output"] = chair::fakert::control(nlohmann::json::parse(line).get<std::vector<std::string>>());
      } catch (const std::exception& e) {
        reply["output"] = std::string("error: ") + e.what();
      }
      const std::string out = reply.dump() + "\n";
      if (send(s, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) break;
    }
  }
  closesocket(s);
}

// Paired devices as Get-PnpDevice shows them: the instance identifier carries the address,
// the friendly name is the one the user gave, else the device's own.
void publish_pnp_listing(const std::vector<std::string>& args) {
  auto parsed = chair::sim::parse_sim_args(args);
  if (!parsed) return;
  nlohmann::json listing = nlohmann::json::array();
  for (const auto& d : parsed->devices) {
    if (!d.paired) continue;
    const std::string digits = chair::compact_address(d.address);
    listing.push_back({{"id", "BTHLE\\DEV_" + digits + "\\7&1F2E3D4C&0&" + digits + "_C00000000"},
                       {"name", d.alias.empty() ? d.name : d.alias}});
  }
  SetEnvironmentVariableW(L"CHAIR_FAKERT_PNP", chair::sys::utf8_to_wide(listing.dump()).c_str());
}

SOCKET connect_to_test(const std::string& port_text) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) give_up("WSAStartup failed");
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) give_up("no socket for the control connection");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(port_text.c_str())));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    give_up("cannot reach the test on port " + port_text);
  }
  return s;
}

struct Startup {
  Startup() {
    std::vector<std::string> args;
    if (const std::string text = environment(L"CHAIR_FAKERT_ARGS"); !text.empty()) {
      try {
        args = nlohmann::json::parse(text).get<std::vector<std::string>>();
      } catch (const std::exception& e) {
        give_up(std::string("CHAIR_FAKERT_ARGS: ") + e.what());
      }
    }
    if (auto started = chair::fakert::reset_from_args(args); !started) give_up(started.error());
    publish_pnp_listing(args);
    // Connected before main() runs, so the test can steer the chair from the first request on.
    if (const std::string port = environment(L"CHAIR_FAKERT_CONTROL"); !port.empty()) {
      std::thread(serve, connect_to_test(port)).detach();
    }
  }
} startup;

}  // namespace
