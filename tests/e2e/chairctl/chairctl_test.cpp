// chairctl as a person or a script uses it: the real binary against the real service, which
// talks to simulated chairs on a private bus, or against a service chairctl starts itself.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "data_dir.h"
#include "dbus_fixture.h"
#include "http/server.h"
#include "http_client.h"
#include "service_process.h"

namespace chair::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kX1 = "C0:FF:EE:01:02:0A";
constexpr const char* kX2 = "C0:FF:EE:01:02:0B";
constexpr const char* kS9 = "C0:FF:EE:01:02:0C";
// Frames as the simulated chair records them.
constexpr const char* kLumbar3 = "55 06 0A 02 03 0D AA";
constexpr const char* kCold5 = "55 02 0A 02 05 0F AA";
constexpr const char* kWaterOn = "55 07 0A 02 40 4F AA";

std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void spit(const std::filesystem::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct CtlRun {
  int code = -1;
  std::string out, err;
  std::chrono::milliseconds took{0};
};

// The chairctl under test is always the one just built; the service and the simulator come
// from CHAIR_BIN_DIR, so the same cases can drive another build of the service.
CtlRun chairctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                const std::string& program = CHAIRCTL_PATH) {
  const auto start = Clock::now();
  ServiceProcess proc(program, args, env);
  CtlRun run;
  run.code = proc.wait(std::chrono::seconds(40));
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  run.out = proc.out();
  run.err = proc.err();
  return run;
}

// A private bus with three simulated chairs on it, and the real service using it.
struct SimRig {
  TempDataDir data;
  PrivateBus bus;
  std::unique_ptr<ChildProcess> sim;
  std::unique_ptr<ServiceProcess> service;
  std::string url;

  SimRig() {
    sim = std::make_unique<ChildProcess>(std::vector<std::string>{
        chair_bin("chair-sim"), "--bus", bus.address(), "--chair", std::string(kX1) + ",name=TAMRO-X1", "--chair",
        std::string(kX2) + ",name=TAMRO-X2", "--chair", std::string(kS9) + ",name=TAMRO-S9"});
    if (!sim->wait_for_line("READY", 10s)) throw std::runtime_error("chair-sim did not start");
    service = std::make_unique<ServiceProcess>(bin_path("chair-service"), std::vector<std::string>{},
                                               std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()});
    service->read_lines(2);
    if (service->port() == 0) throw std::runtime_error("chair-service did not start: " + service->err());
    url = "http://127.0.0.1:" + std::to_string(service->port());
  }

  // chairctl --url <this service> args...
  CtlRun ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--url", url});
    return chairctl(args);
  }

  std::string sim_ctl(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"ctl", "--bus", bus.address()};
    all.insert(all.end(), args.begin(), args.end());
    ServiceProcess proc(chair_bin("chair-sim"), all);
    proc.wait(10s);
    return proc.out();
  }

  // The frames the chair accepted, as hex text, in order.
  std::vector<std::string> frames(const std::string& address) const {
    std::vector<std::string> out;
    for (const auto& line : lines_of(sim_ctl({"writes", address}))) {
      const size_t space = line.find(' ');
      if (space != std::string::npos) out.push_back(line.substr(space + 1));
    }
    return out;
  }
  bool wrote(const std::string& address, const std::string& frame) const {
    const auto all = frames(address);
    return std::find(all.begin(), all.end(), frame) != all.end();
  }

  void connect(const std::string& address) {
    CtlRun run = ctl({"connect", address, "--wait", "--timeout", "20"});
    ASSERT_EQ(run.code, 0) << run.err;
    // After "connected" the service applies the bound chair's initial settings (cooling 10,
    // lumbar 3 by default); they finish before anything a case sends afterwards.
    ASSERT_TRUE(eventually([&] { return wrote(address, kLumbar3); }, 10s));
  }
};

// ---- the command line alone ---------------------------------------------------------------

TEST(ChairctlCommandLine, UsageErrorsExitTwoBeforeAnyRequest) {
  // Nothing listens on port 1: had chairctl tried a request, it would exit 3, not 2.
  struct Case {
    std::vector<std::string> args;
    std::string err_part;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{"sacn"}, "unknown command \"sacn\"; the commands are: watch, status, scan"},
      {{"bind", "sacn"}, "unknown command \"sacn\"; the commands of bind are: get, set"},
      {{"set", "cold"}, ""},
      {{"set", "warm", "5"}, ""},
      {{"set", "cold", "11"}, "from 1 to 10, or off, not \"11\""},
      {{"set", "cold", "abc"}, "not \"abc\""},
      {{"switch", "256"}, "0 to 255"},
      {{"switch", "0x"}, "0 to 255"},
      {{"connect"}, "ADDR or --name"},
      {{"connect", "nonsense"}, "C0:FF:EE:01:02:0A, not \"nonsense\""},
      {{"connect", "C0:FF:EE:01:02"}, "not \"C0:FF:EE:01:02\""},
      {{"connect", kX1, "--name", "TAMRO"}, ""},
      {{"connect", "--name", " "}, "--name"},
      {{"bind", "set", "chair"}, "not \"chair\""},
      {{"raw", "zz"}, "\"zz\" is not hexadecimal"},
      {{"raw", "0x55"}, "\"0x55\" is not hexadecimal"},
      {{"raw", "5", "501"}, "\"5\" is not whole bytes"},
      {{"raw", ":"}, "no bytes given"},
      {{"bind"}, ""},
      {{"bind", "autoconnect", "maybe"}, ""},
      {{"scan", "--seconds", "0"}, ""},
      {{"timer", "30"}, "30m, 90s, 2h or 1h30m"},
      {{"timer", "0m"}, "at most 24h"},
      {{"timer", "24h1s"}, "at most 24h"},
      {{"history", "--since", "yesterday"}, "how long ago"},
      {{"record"}, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--url", "http://127.0.0.1:1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CtlRun run = chairctl(args);
    const std::string what = c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(run.code, 2) << what << ": " << run.err;
    EXPECT_EQ(run.err.rfind("chairctl: ", 0), 0u) << what << ": " << run.err;
    EXPECT_TRUE(contains(run.err, c.err_part)) << what << ": " << run.err;
    EXPECT_EQ(run.out, "") << what;
  }
  // A water word the service would silently read as cooling is refused before any request.
  TempDataDir dir;
  spit(dir / "hot.json", R"({"water":"hot","heatLevel":4})");
  CtlRun hot = chairctl({"--url", "http://127.0.0.1:1", "bind", "init", (dir / "hot.json").string()});
  EXPECT_EQ(hot.code, 2) << hot.err;
  EXPECT_TRUE(contains(hot.err, "\"hot\" is not one of the initial settings' own")) << hot.err;

  // Every command's help names the options that choose the service and the output.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"bind", "--help"}, {"connect", "--help"}, {"bind", "init", "--help"}}) {
    CtlRun help = chairctl(args);
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(contains(help.out, "Usage: chairctl")) << help.out;
    EXPECT_TRUE(contains(help.out, "--url URL") && contains(help.out, "--json")) << help.out;
  }
  CtlRun version = chairctl({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, std::string("chairctl ") + CHAIR_VERSION + "\n");
}

TEST(ChairctlCommandLine, UnreachableAndMissingServiceAreToldApart) {
  // Where a resident panel would announce its service; empty here.
  TempDataDir runtime;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  const std::string how = "start one with \"systemctl --user start chair-panel\"";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    int code;
    std::string err_part;
  };
  const std::vector<Case> cases = {
      // Nothing listens on port 1: exit 3, naming what was tried and why it failed.
      {{"--url", "http://127.0.0.1:1", "devices"}, {}, 3, "http://127.0.0.1:1/api/devices: Connection refused"},
      {{"devices"}, {"CHAIR_SERVICE_URL=http://127.0.0.1:1/"}, 3, "http://127.0.0.1:1/api/devices"},
      {{"watch"}, {"CHAIR_SERVICE_URL=http://127.0.0.1:1"}, 3, "http://127.0.0.1:1/api/events: Connection refused"},
      {{"--spawn", "--service", "/nonexistent/chair-service", "devices"}, {}, 3, "/nonexistent/chair-service"},
      // No service at all: how to start one. A URL that is not HTTP is a usage error.
      {{"devices"}, {"CHAIR_SERVICE_URL="}, 3, how},
      {{"--url", "127.0.0.1:1", "devices"}, {}, 2, "http://127.0.0.1:PORT"},
  };
  for (const auto& c : cases) {
    CtlRun run = chairctl(c.args, c.env);
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_TRUE(contains(run.err, c.err_part)) << run.err;
    EXPECT_EQ(run.out, "");
  }
  // A resident service that ended and left its address behind.
  std::filesystem::create_directories(runtime / "chair-service");
  spit(runtime / "chair-service" / "url", "http://127.0.0.1:1\n");
  CtlRun stale = chairctl({"status"}, {"CHAIR_SERVICE_URL="});
  EXPECT_EQ(stale.code, 3);
  EXPECT_TRUE(contains(stale.err, "Connection refused") && contains(stale.err, "no longer answers") &&
              contains(stale.err, how))
      << stale.err;
  unsetenv("XDG_RUNTIME_DIR");
}

// ---- commands against the service and its simulated chairs -------------------------------

TEST(ChairctlCommands, RefusalsArePrintedAsSentAndJsonPrintsEveryReply) {
  SimRig rig;
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"set", "hot", "3"}, "not connected or characteristic not found\n"},
      {{"switch", " 0x40 "}, "not connected or characteristic not found\n"},
      {{"raw", "55 01", "0a"}, "not connected or characteristic not found\n"},
      {{"query"}, "not connected or characteristic not found\n"},
      {{"disconnect"}, "not connected\n"},
  };
  for (const auto& c : cases) {
    CtlRun run = rig.ctl(c.args);
    EXPECT_EQ(run.code, 1) << c.args[0];
    EXPECT_EQ(run.err, c.err) << c.args[0];
    EXPECT_EQ(run.out, "");
    // With --json the reply itself goes to standard output, as the service sent it.
    std::vector<std::string> json_args = {"--json"};
    json_args.insert(json_args.end(), c.args.begin(), c.args.end());
    CtlRun json = rig.ctl(json_args);
    EXPECT_EQ(json.code, 1) << c.args[0];
    const std::string text = c.err.substr(0, c.err.size() - 1);
    EXPECT_EQ(json.out, nlohmann::json({{"error", text}, {"ok", false}}).dump() + "\n") << c.args[0];
  }
  CtlRun ok = rig.ctl({"--json", "scan", "--seconds", "0.2"});
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(nlohmann::json::parse(ok.out).is_array(), true) << ok.out;
  CtlRun stopped = rig.ctl({"--json", "bind", "clear"});
  EXPECT_EQ(stopped.out, "{\"ok\":true}\n");
}

TEST(ChairctlCommands, ConnectQueryAndCommandsReachTheChair) {
  SimRig rig;
  CtlRun connect = rig.ctl({"connect", "c0:ff:ee:01:02:0a", "--wait", "--timeout", "20"});
  ASSERT_EQ(connect.code, 0) << connect.err;
  EXPECT_EQ(connect.out, "status connected (TAMRO-X1)\n");
  ASSERT_TRUE(eventually([&] { return rig.wrote(kX1, kLumbar3); }, 10s));

  CtlRun set = rig.ctl({"--json", "set", "cold", "5"});
  EXPECT_EQ(set.code, 0) << set.err;
  EXPECT_EQ(set.out, "{\"ok\":true}\n");
  EXPECT_TRUE(rig.wrote(kX1, kCold5));
  CtlRun lumbar = rig.ctl({"set", "lumbar", "+7"});
  EXPECT_EQ(lumbar.code, 0) << lumbar.err;
  EXPECT_EQ(lumbar.out, "");

  // The answer to the query is the chair's full report, decoded.
  CtlRun query = rig.ctl({"query"});
  ASSERT_EQ(query.code, 0) << query.err;
  EXPECT_TRUE(std::regex_match(query.out, std::regex("cold=5 hot=0 vibrate=0 volume=0 lumbar=7 temp=[0-9]+ "
                                                     "switch=0x[0-9a-f]{2} water=(on|off) heating=off .*\n")))
      << query.out;
  CtlRun query_json = rig.ctl({"--json", "query"});
  ASSERT_EQ(query_json.code, 0) << query_json.err;
  auto record = nlohmann::json::parse(query_json.out);
  EXPECT_EQ(record["type"], "chair");
  EXPECT_EQ(record["chair"]["cold"], 5);

  EXPECT_EQ(rig.ctl({"switch", "0X40"}).code, 0);
  // Bytes go out exactly as typed, in one argument or several, with or without separators.
  rig.sim_ctl({"clear-writes", kX1});
  EXPECT_EQ(rig.ctl({"raw", "55:01", "0a", "0100", "0A", "AA"}).code, 0);
  EXPECT_EQ(rig.frames(kX1), std::vector<std::string>{"55 01 0A 01 00 0A AA"});

  CtlRun shutdown = rig.ctl({"shutdown"});
  EXPECT_EQ(shutdown.code, 0) << shutdown.err;
  auto status = nlohmann::json::parse(rig.sim_ctl({"status", kX1}));
  EXPECT_EQ(status["cold"], 0);
  EXPECT_EQ(status["lumbar"], 0);
  CtlRun again = rig.ctl({"disconnect"});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.err, "not connected\n");
}

TEST(ChairctlCommands, ConnectSaysWhyAnAttemptFailedAndLeavesAConnectedChairAlone) {
  SimRig rig;
  rig.connect(kX1);
  // Named by address or by name, the connected chair is not connected again.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"connect", kX1, "--wait"}, {"connect", "--name", "tamro-x1", "--wait"}}) {
    CtlRun again = rig.ctl(args);
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(again.out, "already connected to TAMRO-X1\n");
  }
  const auto all = rig.frames(kX1);
  EXPECT_EQ(std::count(all.begin(), all.end(), kLumbar3), 1) << "the initial settings were applied again";

  // The service looks for an unknown chair for a while before it gives up: --timeout cuts the
  // whole command short.
  CtlRun cut = rig.ctl({"connect", "11:22:33:44:55:66", "--wait", "--timeout", "1.5"});
  EXPECT_EQ(cut.code, 1);
  EXPECT_LT(cut.took, 5s);
  EXPECT_EQ(cut.err.rfind("chairctl: the chair did not connect within 1.5 s", 0), 0u) << cut.err;

  // Given the time, the refusal comes with the attempt's own reason, not with the frames the
  // connected chair's poll writes meanwhile.
  CtlRun unknown = rig.ctl({"connect", "11:22:33:44:55:66", "--wait", "--timeout", "30"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_EQ(unknown.err, "connect failed: device 11:22:33:44:55:66 not found\n");

  // A chair that never answers: the link opens, the handshake gives up.
  rig.sim_ctl({"silent", "on", kX2});
  CtlRun silent = rig.ctl({"connect", kX2, "--wait", "--timeout", "30"});
  EXPECT_EQ(silent.code, 1);
  EXPECT_EQ(silent.err.rfind("chairctl: the chair did not connect: ", 0), 0u) << silent.err;
  EXPECT_TRUE(contains(silent.err, "reconnecting") && !contains(silent.err, "TX:")) << silent.err;
}

TEST(ChairctlCommands, ChairsAreChosenByName) {
  SimRig rig;
  // Not scanned yet: the name is looked for with a short scan; "tamro-x" fits two chairs.
  CtlRun ambiguous = rig.ctl({"connect", "--name", "tamro-x"});
  EXPECT_EQ(ambiguous.code, 1);
  EXPECT_TRUE(contains(ambiguous.err, "\"tamro-x\" fits more than one chair")) << ambiguous.err;
  EXPECT_TRUE(contains(ambiguous.err, std::string("\n  ") + kX1 + "  TAMRO-X1")) << ambiguous.err;
  EXPECT_TRUE(contains(ambiguous.err, std::string("\n  ") + kX2 + "  TAMRO-X2")) << ambiguous.err;
  EXPECT_FALSE(contains(ambiguous.err, kS9)) << ambiguous.err;

  CtlRun none = rig.ctl({"connect", "--name", "Kettle"});
  EXPECT_EQ(none.code, 1);
  EXPECT_TRUE(contains(none.err, "no chair named \"Kettle\"")) << none.err;

  CtlRun unique = rig.ctl({"connect", "--name", "TAMRO-S", "--wait", "--timeout", "20"});
  ASSERT_EQ(unique.code, 0) << unique.err;
  EXPECT_EQ(unique.out, "status connected (TAMRO-S9)\n");
}

TEST(ChairctlCommands, ScanPrintsChairsAsFoundAndSaysWhyAConnectedOneIsMissing) {
  SimRig rig;
  CtlRun empty = rig.ctl({"devices"});
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "No chairs found.\n");
  EXPECT_TRUE(contains(empty.err, "chairctl scan")) << empty.err;

  // Into a pipe, every chair is one line as soon as it is seen, long before the scan ends.
  ServiceProcess scan(CHAIRCTL_PATH, {"--url", rig.url, "scan", "--seconds", "30"});
  const auto first = scan.read_lines(3, 15s);
  ASSERT_EQ(first.size(), 3u) << scan.out() << scan.err();
  std::map<std::string, std::string> found;
  for (const auto& line : first) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex("([0-9A-F:]{17})\t(TAMRO-[A-Z0-9]+)\t-[0-9]+"))) << line;
    found[m[1]] = m[2];
  }
  EXPECT_EQ(found, (std::map<std::string, std::string>{{kX1, "TAMRO-X1"}, {kX2, "TAMRO-X2"}, {kS9, "TAMRO-S9"}}));
  // Ctrl-C ends it early, and the scan is stopped on the way out.
  scan.kill(SIGINT);
  EXPECT_EQ(scan.wait(10s), 0) << scan.err();
  EXPECT_EQ(nlohmann::json::parse(lines_of(rig.ctl({"--json", "watch", "--count", "1"}).out).at(0))["status"], "idle");

  CtlRun devices = rig.ctl({"devices"});
  EXPECT_EQ(lines_of(devices.out).size(), 4u) << devices.out;
  EXPECT_EQ(devices.out.rfind("ADDRESS            NAME      RSSI  HITS\n", 0), 0u) << devices.out;

  rig.connect(kX1);
  CtlRun connected = rig.ctl({"scan", "--seconds", "1.5"});
  EXPECT_EQ(connected.code, 0) << connected.err;
  EXPECT_TRUE(contains(connected.err, "is connected, and a connected chair does not advertise")) << connected.err;
  EXPECT_FALSE(contains(connected.out, kX1)) << connected.out;
}

TEST(ChairctlCommands, StatusShowsTheLinkTheReportAndTheBindingFromTheResidentService) {
  SimRig rig;
  // No URL given: the address a resident panel announced is used.
  TempDataDir runtime;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  std::filesystem::create_directories(runtime / "chair-service");
  spit(runtime / "chair-service" / "url", rig.url + "\n");
  CtlRun idle = chairctl({"status"});
  unsetenv("XDG_RUNTIME_DIR");
  ASSERT_EQ(idle.code, 0) << idle.err;
  EXPECT_EQ(
      idle.out.rfind("link       idle\nchair      no report (not connected)\nbound      none, auto-connect on\n", 0),
      0u)
      << idle.out;

  rig.connect(kX1);
  ASSERT_EQ(rig.ctl({"set", "vibrate", "4"}).code, 0);
  CtlRun connected = rig.ctl({"status"});
  ASSERT_EQ(connected.code, 0) << connected.err;
  EXPECT_TRUE(contains(connected.out, "link       connected to TAMRO-X1 (C0:FF:EE:01:02:0A)\n")) << connected.out;
  EXPECT_TRUE(contains(connected.out, "levels     cold=10 hot=0 vibrate=4 volume=0 lumbar=3 temp=")) << connected.out;
  EXPECT_TRUE(std::regex_search(connected.out, std::regex("\nswitches   switch=0x[0-9a-f]{2} water=on ")))
      << connected.out;
  auto view = nlohmann::json::parse(rig.ctl({"--json", "status"}).out);
  EXPECT_EQ(view["link"], nlohmann::json({{"address", kX1}, {"name", "TAMRO-X1"}, {"status", "connected"}}));
  EXPECT_EQ(view["chair"]["vibrate"], 4);
  EXPECT_EQ(view["bind"]["init"]["water"], "cool");
}

TEST(ChairctlCommands, OffSendsTheLevelZeroFrameAndWatchShowsWhatChanged) {
  SimRig rig;
  rig.connect(kX1);
  rig.sim_ctl({"clear-writes", kX1});
  ASSERT_EQ(rig.ctl({"set", "vibrate", "off"}).code, 0);
  ASSERT_EQ(rig.ctl({"set", "cold", "0"}).code, 0);
  // Cooling off is the water off first: the poll would otherwise switch cooling back on.
  const std::vector<std::string> off = {"55 04 0A 02 00 0C AA", "55 07 0A 02 04 0B AA", "55 02 0A 02 00 0A AA"};
  std::vector<std::string> after;
  ASSERT_TRUE(eventually(
      [&] {
        after = rig.frames(kX1);
        return after.size() > 3 && after.back() == "55 01 0A 02 00 09 AA";  // a poll beat since
      },
      10s));
  EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 3), off);
  EXPECT_EQ(std::find(after.begin(), after.end(), kWaterOn), after.end());

  // A person watching sees the state and what the chair says, not the poll's frames.
  CtlRun quiet = rig.ctl({"watch", "--count", "2"});
  ASSERT_EQ(quiet.code, 0) << quiet.err;
  EXPECT_TRUE(contains(quiet.out, "status connected (TAMRO-X1)\n") && !contains(quiet.out, "TX: ")) << quiet.out;
  CtlRun frames = rig.ctl({"watch", "--count", "3", "--frames"});
  EXPECT_TRUE(contains(frames.out, " log TX: 55 01 0A 02 00 09 AA\n")) << frames.out;
}

TEST(ChairctlCommands, BindingRoundTrip) {
  SimRig rig;
  const TempDataDir& dir = rig.data;
  CtlRun fresh = rig.ctl({"bind", "get"});
  ASSERT_EQ(fresh.code, 0) << fresh.err;
  EXPECT_EQ(fresh.out,
            "address      (none)\nname         \nautoconnect  on\nwater        cool\ncoolLevel    10\n"
            "heatLevel    6\nlumbar       3\nvibrate      0\nvolume       0\n");

  ASSERT_EQ(rig.ctl({"bind", "set", "aa-bb-cc-dd-ee-ff", "Den chair"}).code, 0);
  ASSERT_EQ(rig.ctl({"bind", "autoconnect", "off"}).code, 0);
  spit(dir / "init.json", R"({"water":"heat","heatLevel":4,"lumbar":2})");
  CtlRun init = rig.ctl({"bind", "init", (dir / "init.json").string()});
  ASSERT_EQ(init.code, 0) << init.err;
  // What the next connection applies, and what the file left out.
  EXPECT_TRUE(contains(init.out,
                       "water      heat\ncoolLevel  0  (not in the file: 0, so not applied)\n"
                       "heatLevel  4\nlumbar     2\n"))
      << init.out;

  CtlRun json = rig.ctl({"--json", "bind", "get"});
  EXPECT_EQ(json.out, get(rig.service->port(), "/api/bind/get").body + "\n");
  auto bound = nlohmann::json::parse(json.out);
  EXPECT_EQ(bound["boundAddress"], "AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(bound["boundName"], "Den chair");
  EXPECT_EQ(bound["autoConnect"], false);
  EXPECT_EQ(bound["init"]["water"], "heat");
  EXPECT_EQ(bound["init"]["heatLevel"], 4);

  // The export is the binding file itself, byte for byte, and replaces a file whole.
  const auto exported = dir / "exported.json";
  spit(exported, "old");
  CtlRun ex = rig.ctl({"bind", "export", exported.string()});
  ASSERT_EQ(ex.code, 0) << ex.err;
  EXPECT_EQ(slurp(exported), slurp(dir.file()));
  CtlRun ex_out = rig.ctl({"bind", "export"});
  EXPECT_EQ(ex_out.out, slurp(exported) + "\n");

  ASSERT_EQ(rig.ctl({"bind", "clear"}).code, 0);
  EXPECT_TRUE(contains(slurp(dir.file()), "\"boundAddress\": \"\""));
  CtlRun import = rig.ctl({"bind", "import", exported.string()});
  ASSERT_EQ(import.code, 0) << import.err;
  EXPECT_EQ(slurp(dir.file()), slurp(exported));

  // Refusals: the parser's complaint, a file that is not there, an export that cannot be
  // written (nothing is left behind).
  spit(dir / "bad.json", R"({"water":"cool"} trailing)");
  CtlRun bad = rig.ctl({"bind", "init", (dir / "bad.json").string()});
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(bad.err.rfind("解析失败: ", 0), 0u) << bad.err;
  CtlRun missing = rig.ctl({"bind", "import", (dir / "none.json").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(contains(missing.err, "none.json: No such file or directory")) << missing.err;
  CtlRun unwritable = rig.ctl({"bind", "export", (dir / "no-dir" / "x.json").string()});
  EXPECT_EQ(unwritable.code, 1);
  EXPECT_TRUE(contains(unwritable.err, "cannot write")) << unwritable.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "no-dir"));
}

// ---- the event stream --------------------------------------------------------------------

TEST(ChairctlWatch, JsonLinesAreTheStreamsRecordsAndReadableLinesFollowThem) {
  SimRig rig;
  // Snapshot plus the four events below, then chairctl ends by itself.
  ServiceProcess json(CHAIRCTL_PATH, {"--url", rig.url, "--json", "watch", "--count", "5"});
  ServiceProcess readable(CHAIRCTL_PATH, {"--url", rig.url, "watch", "--count", "5"});
  ASSERT_EQ(json.read_lines(1).size(), 1u) << json.err();
  ASSERT_EQ(readable.read_lines(1).size(), 1u) << readable.err();
  EventStream stream(rig.service->port());
  ASSERT_TRUE(stream.next());  // its own snapshot

  get(rig.service->port(), "/api/scan/stop");   // status + "scan stopped"
  get(rig.service->port(), "/api/bind/clear");  // bind + "已解绑座椅"
  std::vector<std::string> records;
  for (int i = 0; i < 4; ++i) {
    auto record = stream.next();
    ASSERT_TRUE(record);
    records.push_back(*record);
  }

  ASSERT_EQ(json.wait(), 0) << json.err();
  auto lines = lines_of(json.out());
  ASSERT_EQ(lines.size(), 5u) << json.out();
  EXPECT_EQ(lines[0], R"({"type":"status","status":"idle"})");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), records);

  ASSERT_EQ(readable.wait(), 0) << readable.err();
  auto shown = lines_of(readable.out());
  ASSERT_EQ(shown.size(), 5u) << readable.out();
  const std::regex time("[0-9]{2}:[0-9]{2}:[0-9]{2} (.*)");
  const std::vector<std::string> want = {
      "status idle", "status idle", "log scan stopped",
      "bind none autoconnect=on init water=cool cool=10 heat=6 lumbar=3 vibrate=0 volume=0", "log 已解绑座椅"};
  for (size_t i = 0; i < shown.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(shown[i], m, time)) << shown[i];
    EXPECT_EQ(m[1], want[i]);
  }
}

TEST(ChairctlWatch, CtrlCEndsCleanlyAndAServiceThatGoesAwayIsUnreachable) {
  SimRig rig;
  ServiceProcess watch(CHAIRCTL_PATH, {"--url", rig.url, "watch"});
  ASSERT_EQ(watch.read_lines(1).size(), 1u) << watch.err();
  watch.kill(SIGINT);
  EXPECT_EQ(watch.wait(), 0) << watch.err();
  EXPECT_EQ(watch.err(), "");

  ServiceProcess orphan(CHAIRCTL_PATH, {"--url", rig.url, "watch"});
  ASSERT_EQ(orphan.read_lines(1).size(), 1u) << orphan.err();
  rig.service->kill(SIGKILL);
  EXPECT_EQ(orphan.wait(), 3) << orphan.err();
  EXPECT_TRUE(contains(orphan.err(), "could not reach the service at " + rig.url)) << orphan.err();
}

// ---- a peer that is not this service ----------------------------------------------------

// An HTTP server on loopback that answers as the test says: a hostile or broken peer, or a newer
// service with routes this one does not have.
class Peer {
 public:
  explicit Peer(const std::map<std::string, http::Handler>& routes) {
    http::Router router;
    for (const auto& [path, handler] : routes) router.add(path, handler);
    server_ = std::make_unique<http::Server>(std::move(router));
    url = "http://127.0.0.1:" + std::to_string(*server_->listen(0));
    thread_ = std::thread([this] { server_->run(); });
  }
  ~Peer() {
    server_->stop();
    thread_.join();
  }
  std::string url;

 private:
  std::unique_ptr<http::Server> server_;
  std::thread thread_;
};

constexpr const char* kStreamHead = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n";

TEST(ChairctlAgainstAPeer, WhatIsKeptIsBoundedAndAnUnquietShutdownIsLoud) {
  const std::string five_mib(5 * 1024 * 1024, ' ');
  auto empty_list = [&](const http::Request&) {
    return http::Reply::raw("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(five_mib.size() + 2) + "\r\n\r\n[]" +
                            five_mib);
  };
  Peer peer({
      {"/api/devices", empty_list},
      {"/api/history", empty_list},
      {"/api/events",
       [](const http::Request&) {
         // One line that never ends, until chairctl hangs up.
         return http::Reply::stream([](http::ByteSink& sink) {
           const std::string chunk(64 * 1024, 'x');
           bool open = sink.write_all(std::string(kStreamHead) + "data: ");
           for (int i = 0; open && i < 1024; ++i) open = sink.write_all(chunk);
         });
       }},
      {"/api/shutdown",
       [](const http::Request&) {
         return http::Reply::json({{"error", "chair did not take the silent frames"}, {"ok", false}});
       }},
  });
  for (const char* command : {"devices", "watch"}) {
    CtlRun run = chairctl({"--url", peer.url, command});
    EXPECT_EQ(run.code, 1) << command;
    EXPECT_TRUE(contains(run.err, "sent more than 4 MiB in one piece")) << command << ": " << run.err;
  }
  // A full day of reports is the one reply larger than that.
  CtlRun history = chairctl({"--url", peer.url, "history"});
  EXPECT_EQ(history.code, 0) << history.err;
  CtlRun shutdown = chairctl({"--url", peer.url, "shutdown"});
  EXPECT_EQ(shutdown.code, 1);
  const std::string loud = "chair did not take the silent frames\nchairctl: the chair did not confirm that it is quiet";
  EXPECT_EQ(shutdown.err.rfind(loud, 0), 0u) << shutdown.err;
}

TEST(ChairctlAgainstAPeer, StatusShowsWhatANewerServiceOffers) {
  auto json_route = [](nlohmann::json value) {
    return [value](const http::Request&) { return http::Reply::json(value); };
  };
  Peer peer({
      {"/api/events",
       [](const http::Request&) {
         return http::Reply::raw(std::string(kStreamHead) + "data: {\"type\":\"status\",\"status\":\"idle\"}\n\n");
       }},
      {"/api/link", json_route({{"address", ""}, {"name", ""}, {"status", "idle"}})},
      {"/api/bind/get", json_route({{"boundAddress", kX1}, {"boundName", "Den"}, {"autoConnect", false}})},
      {"/api/bluetooth", json_route({{"message", "蓝牙已关闭"}, {"state", "radioOff"}})},
      {"/api/timer/get", json_route({{"seconds", 754}})},
  });
  CtlRun status = chairctl({"--url", peer.url, "status"});
  ASSERT_EQ(status.code, 0) << status.err;
  EXPECT_TRUE(contains(status.out, "bound      C0:FF:EE:01:02:0A (Den), auto-connect off\n")) << status.out;
  EXPECT_TRUE(contains(status.out, "bluetooth  radioOff (蓝牙已关闭)\ntimer      12:34 left\n")) << status.out;
  auto view = nlohmann::json::parse(chairctl({"--url", peer.url, "--json", "status"}).out);
  EXPECT_EQ(view["timer"]["seconds"], 754);
  EXPECT_TRUE(view["chair"].is_null());
}

// ---- the session timer, the report history, recording and replay ---------------------------

TEST(ChairctlSession, TimerEndsTheSessionAsShutdownDoes) {
  SimRig rig;
  rig.connect(kX1);
  EventStream events(rig.service->port());
  ASSERT_TRUE(events.next());
  EXPECT_EQ(rig.ctl({"timer", "1h30m"}).code, 0);
  EXPECT_TRUE(std::regex_match(rig.ctl({"timer"}).out, std::regex("the chair turns off in 1h(30m0|29m59)s\n")));
  EXPECT_EQ(rig.ctl({"timer", "cancel"}).code, 0);
  EXPECT_EQ(rig.ctl({"timer"}).out, "no timer\n");

  ASSERT_EQ(rig.ctl({"timer", "2s"}).code, 0);
  std::vector<std::string> seen;
  ASSERT_TRUE(events.wait_for(
      [&](const nlohmann::json& e) {
        seen.push_back(e.value("type", "") + ":" + e.value("log", e.value("status", "")) +
                       (e.contains("seconds") ? std::to_string(e["seconds"].get<int>()) : ""));
        return e["type"] == "status" && e["status"] == "idle";
      },
      10s));
  // The order of /api/shutdown, announced by the timer.
  auto set = std::find(seen.begin(), seen.end(), "timer:2");
  EXPECT_EQ(*std::find(set, seen.end(), "timer:0"), "timer:0");
  auto ended = std::find(seen.begin(), seen.end(), "log:session timer ended: turning the chair off");
  auto silent = std::find(seen.begin(), seen.end(), "log:silent shutdown: turning off all chair functions...");
  auto quiet = std::find(seen.begin(), seen.end(), "log:chair entered silent state");
  EXPECT_TRUE(ended < silent && silent < quiet && quiet != seen.end()) << seen.size();
  auto status = nlohmann::json::parse(rig.sim_ctl({"status", kX1}));
  EXPECT_EQ(status["cold"], 0);
  EXPECT_EQ(status["lumbar"], 0);
  EXPECT_TRUE(eventually([&] {
    return contains(rig.sim_ctl({"list"}), std::string(kX1) + " name=TAMRO-X1 chair=1 exported=1 connected=0");
  }));
  EXPECT_EQ(rig.ctl({"timer"}).out, "no timer\n");
}

TEST(ChairctlSession, HistoryHoldsTheReportsAsTheEventsHadThem) {
  SimRig rig;
  EventStream events(rig.service->port());
  ASSERT_TRUE(events.next());
  rig.connect(kX1);
  ASSERT_EQ(rig.ctl({"set", "vibrate", "2"}).code, 0);
  ASSERT_EQ(rig.ctl({"query"}).code, 0);
  // The chair objects as the events carried them, until the answer to the query.
  std::vector<std::string> chairs;
  while (auto text = events.next(10s)) {
    const std::string head = R"({"type":"chair","chair":)";
    if (text->rfind(head, 0) != 0) continue;
    chairs.push_back(text->substr(head.size(), text->size() - head.size() - 1));
    const auto chair = nlohmann::json::parse(chairs.back());
    if (chair["vibrate"] == 2 && chair["raw"].get<std::string>().rfind("55 01", 0) == 0) break;
  }
  ASSERT_FALSE(chairs.empty());
  // The same bytes, in the same order, each with the time it arrived.
  const std::string body = get(rig.service->port(), "/api/history").body;
  const auto entries = nlohmann::json::parse(body);
  ASSERT_GE(entries.size(), chairs.size());
  size_t at = 0;
  for (size_t i = 0; i < chairs.size(); ++i) {
    at = body.find("{\"chair\":" + chairs[i] + ",\"t\":", at);
    ASSERT_NE(at, std::string::npos) << chairs[i];
    at += chairs[i].size();
    EXPECT_GE(entries[i]["t"].get<int64_t>(), entries[i > 0 ? i - 1 : 0]["t"].get<int64_t>());
  }
  const int64_t since = entries[1]["t"];
  const auto newer = get_json(rig.service->port(), "/api/history?since=" + std::to_string(since));
  ASSERT_FALSE(newer.empty());
  EXPECT_GT(newer[0]["t"].get<int64_t>(), since);
  EXPECT_EQ(newer[0], *std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e["t"] > since; }));

  CtlRun csv = rig.ctl({"history", "--csv"});
  ASSERT_EQ(csv.code, 0) << csv.err;
  const auto rows = lines_of(csv.out);
  ASSERT_GE(rows.size(), entries.size() + 1);
  EXPECT_EQ(
      rows[0],
      "t,time,cold,hot,vibrate,volume,lumbar,temp,switchByte,btAudio,motion,headphone,seated,waterOn,heating,raw");
  EXPECT_EQ(rows[1].rfind(std::to_string(entries[0]["t"].get<int64_t>()) + ",", 0), 0u) << rows[1];
  CtlRun lines = rig.ctl({"history", "--since", "1h"});
  EXPECT_GE(lines_of(lines.out).size(), entries.size());
  EXPECT_TRUE(contains(lines.out, " vibrate=2 ")) << lines.out;
}

// The chair records of a recording (chairctl record), as JSON texts.
std::set<std::string> recorded_chairs(const std::filesystem::path& file) {
  std::set<std::string> chairs;
  const auto lines = lines_of(slurp(file));
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto record = nlohmann::json::parse(lines[i])["record"];
    if (record["type"] == "chair") chairs.insert(record["chair"].dump());
  }
  return chairs;
}

// Records a session (steady temperature, one change), then replays it without the chair:
// the service sees the same chair records.
void run_session(const std::string& url, uint16_t port, const std::string& address, const std::filesystem::path& file,
                 bool mask) {
  get(port, "/api/bind/init", R"({"water":"off","lumbar":3})");
  std::vector<std::string> args = {"--url", url, "record", file.string()};
  if (mask) args.push_back("--mask");
  ServiceProcess recorder(CHAIRCTL_PATH, args);
  ASSERT_TRUE(eventually([&] { return contains(recorder.err(), "Ctrl-C ends the recording"); }, 10s));
  ASSERT_EQ(chairctl({"--url", url, "connect", address, "--wait", "--timeout", "20"}).code, 0);
  // The initial settings end with lumbar 3; then a query, a change and a query again.
  ASSERT_TRUE(eventually([&] { return get_json(port, "/api/history").dump().find("55 06 0B") != std::string::npos; }));
  ASSERT_EQ(chairctl({"--url", url, "query"}).code, 0);
  ASSERT_EQ(chairctl({"--url", url, "set", "vibrate", "2"}).code, 0);
  ASSERT_TRUE(contains(chairctl({"--url", url, "query"}).out, " vibrate=2 "));
  recorder.kill(SIGINT);
  ASSERT_EQ(recorder.wait(), 0) << recorder.err();
}

TEST(ChairctlSession, ARecordedSessionPlaysAgainWithoutTheChair) {
  SimRig rig;
  const auto recording = rig.data / "session.jsonl";
  ASSERT_NO_FATAL_FAILURE(run_session(rig.url, rig.service->port(), kX1, recording, true));
  const std::string text = slurp(recording);
  for (const char* personal : {"C0:FF:EE:01:02:0A", "C0FFEE01020A", "C0_FF_EE_01_02_0A", "TAMRO-X1"}) {
    EXPECT_FALSE(contains(text, personal)) << personal;
  }
  EXPECT_TRUE(contains(text, "connected TAMRO masked 1 (02:00:00:00:00:01)"));

  TempDataDir data;
  PrivateBus bus;
  ChildProcess sim({chair_bin("chair-sim"), "--bus", bus.address(), "--replay", recording.string()});
  ASSERT_TRUE(sim.wait_for_line("READY", 10s));
  ServiceProcess service(bin_path("chair-service"), {}, {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()});
  service.read_lines(2);
  ASSERT_NE(service.port(), 0) << service.err();
  const auto replayed = data / "replayed.jsonl";
  ASSERT_NO_FATAL_FAILURE(run_session("http://127.0.0.1:" + std::to_string(service.port()), service.port(),
                                      "02:00:00:00:00:01", replayed, false));
  const auto recorded = recorded_chairs(recording);
  EXPECT_GE(recorded.size(), 5u);
  EXPECT_EQ(recorded_chairs(replayed), recorded);
}

// ---- --spawn -------------------------------------------------------------------------------

// Processes whose environment carries this exact entry: the services a test started.
std::vector<int> processes_with_env(const std::string& entry) {
  std::vector<int> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* d = readdir(proc)) {
    const int pid = std::atoi(d->d_name);
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::string(d->d_name) + "/environ", std::ios::binary);
    for (std::string item; std::getline(in, item, '\0');) {
      if (item == entry) {
        found.push_back(pid);
        break;
      }
    }
  }
  closedir(proc);
  return found;
}

TEST(ChairctlSpawn, StartsTheServiceRunsTheCommandAndEndsIt) {
  TempDataDir dir;
  const std::string env = "TAMRO_DATA_DIR=" + dir.path().string();
  // Laid out as an installation: chairctl in bin/, the service in libexec/chair-service/.
  const auto root = dir / "usr";
  std::filesystem::create_directories(root / "bin");
  std::filesystem::create_directories(root / "libexec" / "chair-service");
  std::filesystem::copy_file(CHAIRCTL_PATH, root / "bin" / "chairctl");
  std::filesystem::create_symlink(std::filesystem::absolute(bin_path("chair-service")),
                                  root / "libexec" / "chair-service" / "chair-service");
  const std::string installed = (root / "bin" / "chairctl").string();

  CtlRun set = chairctl({"--spawn", "bind", "set", kX1, "Spawned"}, {env}, installed);
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_TRUE(contains(slurp(dir.file()), "\"boundName\": \"Spawned\""));
  CtlRun get = chairctl({"--spawn", "--service", bin_path("chair-service"), "--json", "bind", "get"}, {env});
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(nlohmann::json::parse(get.out)["boundName"], "Spawned");
  CtlRun devices = chairctl({"--spawn", "--service", bin_path("chair-service"), "devices"}, {env});
  EXPECT_EQ(devices.out, "No chairs found.\n");
  EXPECT_TRUE(contains(devices.err, "--spawn scan")) << devices.err;

  // A watch ended with Ctrl-C still shuts its service down.
  ServiceProcess watch(installed, {"--spawn", "watch"}, {env});
  auto lines = watch.read_lines(1);
  ASSERT_EQ(lines.size(), 1u) << watch.err();
  EXPECT_TRUE(contains(lines[0], "status ")) << lines[0];
  ASSERT_EQ(processes_with_env(env).size(), 2u);  // chairctl and its service
  watch.kill(SIGINT);
  EXPECT_EQ(watch.wait(), 0) << watch.err();
  EXPECT_TRUE(eventually([&] { return processes_with_env(env).empty(); }, 5s));
}

}  // namespace
}  // namespace chair::test
