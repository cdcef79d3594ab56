// chairctl as a person or a script uses it: the real binary, run as a child process
// against a service in this process (with a scripted chair) or one it starts itself.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ble/protocol/commands.h"
#include "bind/binding_store.h"
#include "fake_platform.h"
#include "data_dir.h"
#include "http_client.h"
#include "main/service.h"
#include "service_process.h"
#include "tools/chair-model/chair_model.h"

namespace chair::test {
namespace {

constexpr uint64_t kChairAddress = 0xC0FFEE01020A;
constexpr const char* kChairText = "C0:FF:EE:01:02:0A";

using DataDir = TempDataDir;

std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void spit(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

struct CtlRun {
  int code = -1;
  std::string out, err;
};

CtlRun chairctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  ServiceProcess proc(bin_path("chairctl"), args, env);
  CtlRun run;
  run.code = proc.wait(std::chrono::seconds(20));
  run.out = proc.out();
  run.err = proc.err();
  return run;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Timings fast_timings() {
  Timings t;
  t.discovery_retry = 20ms;
  t.after_subscribe = 5ms;
  t.status_wait = 300ms;
  t.status_check = 5ms;
  t.before_init = 5ms;
  t.init_step = 2ms;
  // No poll traffic: the chair reports only when asked.
  t.poll_interval = 60s;
  t.silent_step = 5ms;
  t.handshake_limit = 2s;
  return t;
}

// The service with a scripted platform and one chair model behind the data characteristic.
struct Rig {
  std::shared_ptr<FakePlatform> fake = std::make_shared<FakePlatform>();
  std::shared_ptr<sim::ChairModel> model = std::make_shared<sim::ChairModel>();
  FakeCharacteristicPtr data;
  InProcessService service;
  std::string url;

  Rig() {
    data = std::make_shared<FakeCharacteristic>(ble::kDataCharacteristicUuid, ble::kPropWrite | ble::kPropNotify);
    std::weak_ptr<FakeCharacteristic> weak = data;
    data->on_write([weak, model = model](const Bytes& bytes) {
      for (const auto& answer : model->on_write(bytes))
        if (auto d = weak.lock()) d->notify(answer);
    });
    auto device = std::make_shared<FakeDevice>("dev-chair", std::string("TAMRO Den"));
    device->set_services({std::make_shared<FakeService>("0000fff0-0000-1000-8000-00805f9b34fb",
                                                        std::vector<FakeCharacteristicPtr>{data})});
    fake->add_device(kChairAddress, device);

    InProcessOptions options;
    options.timings = fast_timings();
    options.start_supervisor = false;
    options.start_listing = false;
    auto started = start_in_process(fake, options);
    if (!started) throw std::runtime_error("service did not start: " + started.error());
    service = *started;
    url = service.url();
  }

  // chairctl --url <this service> args...
  CtlRun ctl(std::vector<std::string> args, const std::vector<std::string>& env = {}) const {
    args.insert(args.begin(), {"--url", url});
    return chairctl(args, env);
  }

  bool wrote(const Bytes& frame) const {
    for (const auto& w : data->writes())
      if (w.bytes == frame) return true;
    return false;
  }
};

// ---- finding the service ----------------------------------------------------------------

TEST(ChairctlService, UnreachableAndMissingServiceAreToldApart) {
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
      // No service named at all, or one that is not HTTP: the command line is wrong.
      {{"devices"}, {"CHAIR_SERVICE_URL="}, 2, "--url"},
      {{"--url", "127.0.0.1:1", "devices"}, {}, 2, "http://127.0.0.1:PORT"},
  };
  for (const auto& c : cases) {
    CtlRun run = chairctl(c.args, c.env);
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(c.err_part), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(ChairctlService, UsageErrorsExitTwoWithoutTouchingTheService) {
  Rig rig;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"set", "cold"},
      {"set", "warm", "5"},
      {"bind"},
      {"bind", "autoconnect", "maybe"},
      {"connect"},
      {"scan", "--seconds", "0"},
      {"frobnicate"},
  };
  for (const auto& args : cases) {
    CtlRun run = rig.ctl(args);
    EXPECT_EQ(run.code, 2) << (args.empty() ? "(none)" : args[0]) << ": " << run.err;
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_TRUE(rig.data->writes().empty());

  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"bind", "--help"}, {"query", "--help"}}) {
    CtlRun help = chairctl(args);
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Usage: chairctl"), std::string::npos) << help.out;
  }
}

// ---- commands against the in-process service ---------------------------------------------

TEST(ChairctlCommands, ServiceRefusalsArePrintedAsSentWithExitOne) {
  Rig rig;
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"set", "hot", "11"}, "强度必须 1-10，当前 11\n"},
      {{"set", "hot", "-1"}, "强度必须 1-10，当前 -1\n"},
      {{"set", "vibrate", "abc"}, "invalid value\n"},
      {{"set", "cold", "5"}, "not connected or characteristic not found\n"},
      {{"switch", "256"}, "invalid bits\n"},
      {{"raw", "5"}, "hex length must be even\n"},
      {{"query"}, "not connected or characteristic not found\n"},
      {{"disconnect"}, "not connected\n"},
      {{"connect", " "}, "missing addr param\n"},
      {{"bind", "set", "  "}, "缺少 addr 参数\n"},
  };
  for (const auto& c : cases) {
    CtlRun run = rig.ctl(c.args);
    EXPECT_EQ(run.code, 1) << c.args[0];
    EXPECT_EQ(run.err, c.err) << c.args[0];
    EXPECT_EQ(run.out, "");
  }
}

TEST(ChairctlCommands, ConnectQueryAndCommandsReachTheChair) {
  Rig rig;
  CtlRun connect = rig.ctl({"connect", "c0:ff:ee:01:02:0a", "--wait", "--timeout", "10"});
  ASSERT_EQ(connect.code, 0) << connect.err;
  EXPECT_EQ(connect.out, "status connected (TAMRO Den)\n");
  // After "connected" the service applies the bound chair's initial settings (cooling 10,
  // lumbar 3 by default); let them finish so they cannot overtake the commands below.
  ASSERT_TRUE(chair::test::eventually([&] { return rig.wrote(*ble::level_frame(ble::kLumbar, 3)); }));

  CtlRun set = rig.ctl({"set", "cold", "5"});
  EXPECT_EQ(set.code, 0) << set.err;
  EXPECT_EQ(set.out, "");
  EXPECT_TRUE(rig.wrote(*ble::level_frame(ble::kCold, 5)));

  CtlRun lumbar = rig.ctl({"set", "lumbar", "+7"});
  EXPECT_EQ(lumbar.code, 0) << lumbar.err;

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

  CtlRun sw = rig.ctl({"switch", "0x40"});
  EXPECT_EQ(sw.code, 0) << sw.err;
  EXPECT_TRUE(rig.wrote(ble::switch_frame(0x40)));

  // Bytes go out exactly as typed, in one argument or several.
  CtlRun raw = rig.ctl({"raw", "55 01", "0A", "01", "00", "0A", "AA"});
  EXPECT_EQ(raw.code, 0) << raw.err;
  EXPECT_TRUE(rig.wrote(Bytes{0x55, 0x01, 0x0A, 0x01, 0x00, 0x0A, 0xAA}));

  CtlRun shutdown = rig.ctl({"shutdown"});
  EXPECT_EQ(shutdown.code, 0) << shutdown.err;
  for (const auto& frame : ble::silent_frames()) EXPECT_TRUE(rig.wrote(frame));
  CtlRun again = rig.ctl({"disconnect"});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.err, "not connected\n");
}

TEST(ChairctlCommands, ConnectWaitReportsAFailedHandshake) {
  Rig rig;
  // No such chair: the route refuses at once.
  CtlRun unknown = rig.ctl({"connect", "11:22:33:44:55:66", "--wait", "--timeout", "5"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_EQ(unknown.err, "connect failed\n");

  // A chair that never answers: the link opens, the handshake gives up.
  rig.model->set_silent(true);
  CtlRun silent = rig.ctl({"connect", kChairText, "--wait", "--timeout", "10"});
  EXPECT_EQ(silent.code, 1);
  EXPECT_NE(silent.err.find("the chair did not connect"), std::string::npos) << silent.err;
}

TEST(ChairctlCommands, ScanShowsTheChairsAndStopsTheScan) {
  Rig rig;
  CtlRun empty = rig.ctl({"devices"});
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "No chairs found.\n");

  ServiceProcess scan(bin_path("chairctl"), {"--url", rig.url, "scan", "--seconds", "0.6"});
  // Advertise while the scan runs; a name without the prefix is not a chair.
  ASSERT_TRUE(eventually([&] { return rig.fake->watchers_running() > 0; }, 10s));
  for (int i = 0; i < 5; ++i) {
    rig.fake->advertise(FakeAdvert::named(kChairAddress, "TAMRO Den", -55));
    rig.fake->advertise(FakeAdvert::named(0xAABBCCDDEEFF, "Kettle", -30));
  }
  ASSERT_EQ(scan.wait(std::chrono::seconds(15)), 0) << scan.err();
  EXPECT_EQ(scan.out(),
            "ADDRESS            NAME       RSSI  HITS\n"
            "C0:FF:EE:01:02:0A  TAMRO Den   -55  5\n");
  EXPECT_EQ(rig.fake->watchers_running(), 0);

  CtlRun devices = rig.ctl({"devices"});
  EXPECT_EQ(devices.out, scan.out());
  // --json is the reply exactly as the service sent it; localhost passes the Host guard.
  const std::string port = std::to_string(rig.service.port);
  CtlRun raw = chairctl({"--url", "http://localhost:" + port, "--json", "devices"});
  EXPECT_EQ(raw.code, 0) << raw.err;
  EXPECT_EQ(raw.out, get(rig.service.port, "/api/devices").body + "\n");
}

TEST(ChairctlCommands, BindingRoundTrip) {
  DataDir dir;
  Rig rig;
  CtlRun fresh = rig.ctl({"bind", "get"});
  ASSERT_EQ(fresh.code, 0) << fresh.err;
  EXPECT_EQ(fresh.out,
            "address      (none)\nname         \nautoconnect  on\nwater        cool\ncoolLevel    10\n"
            "heatLevel    6\nlumbar       3\nvibrate      0\nvolume       0\n");

  ASSERT_EQ(rig.ctl({"bind", "set", "aa:bb:cc:dd:ee:ff", "Den chair"}).code, 0);
  ASSERT_EQ(rig.ctl({"bind", "autoconnect", "off"}).code, 0);
  spit(dir / "init.json", R"({"water":"heat","heatLevel":4,"lumbar":2})");
  CtlRun init = rig.ctl({"bind", "init", (dir / "init.json").string()});
  ASSERT_EQ(init.code, 0) << init.err;

  CtlRun json = rig.ctl({"--json", "bind", "get"});
  EXPECT_EQ(json.out, get(rig.service.port, "/api/bind/get").body + "\n");
  auto bound = nlohmann::json::parse(json.out);
  EXPECT_EQ(bound["boundAddress"], "AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(bound["boundName"], "Den chair");
  EXPECT_EQ(bound["autoConnect"], false);
  EXPECT_EQ(bound["init"]["water"], "heat");
  EXPECT_EQ(bound["init"]["heatLevel"], 4);

  // The export is the binding file itself, byte for byte.
  const auto exported = dir / "exported.json";
  CtlRun ex = rig.ctl({"bind", "export", exported.string()});
  ASSERT_EQ(ex.code, 0) << ex.err;
  EXPECT_EQ(slurp(exported), slurp(dir / "bind.json"));
  CtlRun ex_out = rig.ctl({"bind", "export"});
  EXPECT_EQ(ex_out.out, slurp(exported) + "\n");

  ASSERT_EQ(rig.ctl({"bind", "clear"}).code, 0);
  EXPECT_NE(slurp(dir / "bind.json").find("\"boundAddress\": \"\""), std::string::npos);

  CtlRun import = rig.ctl({"bind", "import", exported.string()});
  ASSERT_EQ(import.code, 0) << import.err;
  EXPECT_EQ(slurp(dir / "bind.json"), slurp(exported));

  // Refusals: the parser's complaint, a file that is not there, an export that cannot be
  // written (the old copy stays whole).
  spit(dir / "bad.json", R"({"water":"cool"} trailing)");
  CtlRun bad = rig.ctl({"bind", "init", (dir / "bad.json").string()});
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(bad.err.rfind("解析失败: ", 0), 0u) << bad.err;
  CtlRun missing = rig.ctl({"bind", "import", (dir / "none.json").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("none.json: No such file or directory"), std::string::npos) << missing.err;
  CtlRun unwritable = rig.ctl({"bind", "export", (dir / "no-dir" / "x.json").string()});
  EXPECT_EQ(unwritable.code, 1);
  EXPECT_EQ(slurp(dir / "bind.json"), slurp(exported));
}

// ---- the event stream --------------------------------------------------------------------

TEST(ChairctlWatch, JsonLinesAreTheStreamsRecordsAndReadableLinesFollowThem) {
  DataDir dir;
  Rig rig;
  // Snapshot plus the four events below, then chairctl ends by itself.
  ServiceProcess json(bin_path("chairctl"), {"--url", rig.url, "--json", "watch", "--count", "5"});
  ServiceProcess readable(bin_path("chairctl"), {"--url", rig.url, "watch", "--count", "5"});
  ASSERT_EQ(json.read_lines(1).size(), 1u) << json.err();
  ASSERT_EQ(readable.read_lines(1).size(), 1u) << readable.err();
  EventStream stream(rig.service.port);
  ASSERT_TRUE(stream.next());  // its own snapshot

  get(rig.service.port, "/api/scan/stop");   // status + "scan stopped"
  get(rig.service.port, "/api/bind/clear");  // bind + "已解绑座椅"
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

TEST(ChairctlWatch, CtrlCEndsTheWatchCleanly) {
  Rig rig;
  ServiceProcess watch(bin_path("chairctl"), {"--url", rig.url, "watch"});
  ASSERT_EQ(watch.read_lines(1).size(), 1u) << watch.err();
  watch.kill(SIGINT);
  EXPECT_EQ(watch.wait(), 0) << watch.err();
  EXPECT_EQ(watch.err(), "");
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
  DataDir dir;
  const std::string env = "TAMRO_DATA_DIR=" + dir.path().string();
  // chair-service is found next to chairctl, and reads the environment chairctl got.
  CtlRun set = chairctl({"--spawn", "bind", "set", kChairText, "Spawned"}, {env});
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_NE(slurp(dir / "bind.json").find("\"boundName\": \"Spawned\""), std::string::npos);
  CtlRun get = chairctl({"--spawn", "--service", bin_path("chair-service"), "--json", "bind", "get"}, {env});
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(nlohmann::json::parse(get.out)["boundName"], "Spawned");

  // A watch ended with Ctrl-C still shuts its service down.
  ServiceProcess watch(bin_path("chairctl"), {"--spawn", "watch"}, {env});
  auto lines = watch.read_lines(1);
  ASSERT_EQ(lines.size(), 1u) << watch.err();
  EXPECT_NE(lines[0].find("status "), std::string::npos);
  ASSERT_EQ(processes_with_env(env).size(), 2u);  // chairctl and its service
  watch.kill(SIGINT);
  EXPECT_EQ(watch.wait(), 0) << watch.err();
  EXPECT_TRUE(eventually([&] { return processes_with_env(env).empty(); }, 5s));
}

}  // namespace
}  // namespace chair::test
