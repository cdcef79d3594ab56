// The binding routes (replies, stored file, events) and the silent shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "bind/binding_file.h"
#include "bind/binding_store.h"
#include "ble/protocol/commands.h"
#include "service_rig.h"

namespace chair::test {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

const json kDefaultInit = {{"water", "cool"}, {"coolLevel", 10}, {"heatLevel", 6},
                           {"lumbar", 3},     {"vibrate", 0},    {"volume", 0}};

json ok_reply() { return json{{"ok", true}}; }
json error_body(const std::string& text) { return json{{"error", text}, {"ok", false}}; }

// One service per test with the usual chair, the supervisor left off so only the routes act.
struct Rig : ServiceRig {
  explicit Rig(std::optional<bind::BindConfig> file = std::nullopt) : ServiceRig(std::move(file)) {
    chair = add_answering_chair(*fake);
    start();
  }
  FakeChair chair;
  // The file must hold exactly what the service holds in memory.
  void expect_file_matches_memory() {
    auto text = dir.read();
    ASSERT_TRUE(text.has_value()) << "no bind.json";
    EXPECT_EQ(*text, bind::binding_file_text(stored()));
  }
};

int count(const std::vector<json>& records, const std::function<bool(const json&)>& pred) {
  return static_cast<int>(std::count_if(records.begin(), records.end(), pred));
}

TEST(BindRoutes, SetStoresTheChairAnnouncesItAndConnects) {
  Rig rig;
  // Unicode white space (here U+3000, U+2003 and U+00A0) is trimmed like ASCII blanks.
  EXPECT_EQ(rig.call("/api/bind/set?addr=%E3%80%80c0:ff:ee:01:02:0a%09&name=%E2%80%83Den%20chair%C2%A0"), ok_reply());

  bind::BindConfig expected;
  expected.boundAddress = kChairText;
  expected.boundName = "Den chair";
  EXPECT_EQ(rig.stored(), expected);
  rig.expect_file_matches_memory();

  auto announced = rig.events->wait_for(type_is("bind"));
  ASSERT_TRUE(announced);
  EXPECT_EQ((*announced)["bind"]["boundAddress"], kChairText);
  EXPECT_TRUE(rig.events->wait_log(std::string("已绑定座椅 Den chair (") + kChairText + ")"));
  EXPECT_TRUE(rig.events->wait_log(std::string("绑定后立即连接 ") + kChairText + " ..."));
  EXPECT_TRUE(rig.events->wait_for(status_is("connected")));
}

TEST(BindRoutes, SetWithoutAUsableAddressStoresNothing) {
  for (const char* target :
       {"/api/bind/set", "/api/bind/set?name=x", "/api/bind/set?addr=%20%20&name=x", "/api/bind/set?addr=%E3%80%80"}) {
    SCOPED_TRACE(target);
    Rig rig(bound_to("AA:BB:CC:DD:EE:FF", false));
    const auto before = rig.stored();
    const auto file_before = rig.dir.read();
    EXPECT_EQ(rig.call(target), error_body("缺少 addr 参数"));
    EXPECT_EQ(rig.stored(), before);
    EXPECT_EQ(rig.dir.read(), file_before);
    EXPECT_EQ(count(rig.drained(), type_is("bind")), 0);
  }
}

TEST(BindRoutes, SetWithoutANameLogsAnEmptyName) {
  Rig rig;
  EXPECT_EQ(rig.call("/api/bind/set?addr=aa:bb:cc:dd:ee:ff"), ok_reply());
  EXPECT_TRUE(rig.events->wait_log("已绑定座椅  (AA:BB:CC:DD:EE:FF)"));
  EXPECT_EQ(rig.stored().boundName, "");
}

TEST(BindRoutes, SetForTheLinkedChairKeepsItsLinkAndSettings) {
  Rig rig;
  ASSERT_EQ(rig.connect(), ok_reply());
  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));
  // The initial settings end with the lumbar level; the user's heating comes after them.
  const Bytes last_init = *ble::level_frame(ble::kLumbar, 3);
  ASSERT_TRUE(eventually([&] { return rig.chair.data->writes().back().bytes == last_init; }));
  ASSERT_EQ(rig.call("/api/cmd/intensity?fn=hot&value=3"), ok_reply());
  const auto linked = rig.svc().link().view();
  const size_t writes = rig.chair.data->writes().size();
  rig.drained();

  // The same chair in another spelling: stored and announced, and nothing sent to it.
  EXPECT_EQ(rig.call("/api/bind/set?addr=c0ffee01020a&name=Den"), ok_reply());
  EXPECT_EQ(rig.drain(), (std::vector<std::string>{"bind", "log:已绑定座椅 Den (C0FFEE01020A)"}));
  EXPECT_EQ(rig.stored().boundAddress, "C0FFEE01020A");
  EXPECT_EQ(rig.svc().link().view().generation, linked.generation);
  EXPECT_EQ(rig.chair.data->writes().size(), writes);
}

TEST(BindRoutes, ClearForgetsTheChairButKeepsItsSettingsAndTheLink) {
  auto file = bound_to(kChairText, false);
  file.init.water = "heat";
  file.init.heatLevel = 4;
  Rig rig(file);
  EXPECT_EQ(rig.call("/api/connect?addr=" + std::string(kChairText)), ok_reply());
  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));

  EXPECT_EQ(rig.call("/api/bind/clear"), ok_reply());
  auto expected = file;
  expected.boundAddress.clear();
  expected.boundName.clear();
  EXPECT_EQ(rig.stored(), expected);
  rig.expect_file_matches_memory();
  EXPECT_TRUE(rig.events->wait_for(type_is("bind")));
  EXPECT_TRUE(rig.events->wait_log("已解绑座椅"));
  EXPECT_EQ(rig.svc().link().view().phase, ble::LinkPhase::Connected);
}

TEST(BindRoutes, AutoConnectIsOffOnlyForExactlyZero) {
  struct Row {
    const char* query;
    bool on;
  };
  for (const Row& row :
       {Row{"?on=0", false}, Row{"?on=%200", true}, Row{"?on=false", true}, Row{"?on=", true}, Row{"", true}}) {
    SCOPED_TRACE(row.query);
    Rig rig(bound_to(kChairText, !row.on));
    EXPECT_EQ(rig.call(std::string("/api/bind/autoconnect") + row.query), ok_reply());
    EXPECT_EQ(rig.stored().autoConnect, row.on);
    rig.expect_file_matches_memory();
    auto announced = rig.events->wait_for(type_is("bind"));
    ASSERT_TRUE(announced);
    EXPECT_EQ((*announced)["bind"]["autoConnect"], row.on);
    if (row.on) {
      // Turning it on makes one attempt at once, without waiting for the supervisor.
      EXPECT_TRUE(rig.events->wait_log(std::string("auto connecting ") + kChairText + " ..."));
      EXPECT_TRUE(rig.events->wait_for(status_is("connected")));
    }
  }
}

TEST(BindRoutes, InitReplacesOnlyTheSettings) {
  Rig rig(bound_to(kChairText, false));
  EXPECT_EQ(rig.call("/api/bind/init", R"({"water":"off","lumbar":7,"extra":[1,{"a":null}]} )"), ok_reply());
  auto expected = bound_to(kChairText, false);
  expected.init = bind::InitConfig{"off", 0, 0, 7, 0, 0};
  EXPECT_EQ(rig.stored(), expected);
  rig.expect_file_matches_memory();
  EXPECT_TRUE(rig.events->wait_for(type_is("bind")));
  EXPECT_TRUE(rig.events->wait_log("已更新初始化参数"));
}

TEST(BindRoutes, UnparsableBodiesLeaveFileAndMemoryUntouched) {
  struct Row {
    const char* route;
    const char* body;
  };
  const Row rows[] = {
      {"/api/bind/init", ""},
      {"/api/bind/init", R"({"water":"off"} x)"},
      {"/api/bind/init", R"({"coolLevel":3})"},
      {"/api/bind/init", R"({"water":"cool","coolLevel":2.5})"},
      {"/api/bind/import", ""},
      {"/api/bind/import", R"({"boundAddress":"AA:BB:CC:DD:EE:FF"}{})"},
      {"/api/bind/import", R"({"boundAddress":"A","boundAddress":"B"})"},
      {"/api/bind/import", R"({"autoConnect":"yes"})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.route) + " " + row.body);
    Rig rig(bound_to(kChairText, false));
    const auto before = rig.stored();
    const auto file_before = rig.dir.read();
    json reply = rig.call(row.route, row.body);
    EXPECT_EQ(reply.value("ok", true), false);
    EXPECT_EQ(reply.value("error", "").rfind("解析失败: ", 0), 0u) << reply.dump();
    EXPECT_GT(reply.value("error", "").size(), std::string("解析失败: ").size());
    EXPECT_EQ(rig.stored(), before);
    EXPECT_EQ(rig.dir.read(), file_before);
    auto records = rig.drained();
    EXPECT_EQ(count(records, type_is("bind")), 0);
    EXPECT_EQ(count(records, type_is("log")), 0);
  }
}

TEST(BindRoutes, ImportReplacesTheWholeRecordAndTriesToConnect) {
  Rig rig(bound_to("AA:BB:CC:DD:EE:FF", false));
  // Read by position; a missing water mode brings back every default setting.
  const std::string body =
      std::string(R"([")") + kChairText + R"(", "Study chair", true, {"water": "", "coolLevel": 1, "lumbar": 9}])";
  EXPECT_EQ(rig.call("/api/bind/import", body), ok_reply());
  bind::BindConfig expected;
  expected.boundAddress = kChairText;
  expected.boundName = "Study chair";
  expected.autoConnect = true;
  EXPECT_EQ(rig.stored(), expected);
  rig.expect_file_matches_memory();
  EXPECT_TRUE(rig.events->wait_for(type_is("bind")));
  EXPECT_TRUE(rig.events->wait_log("已导入配置"));
  EXPECT_TRUE(rig.events->wait_log(std::string("auto connecting ") + kChairText + " ..."));
  EXPECT_TRUE(rig.events->wait_for(status_is("connected")));
}

TEST(BindRoutes, AnImportIsKeptOnlyWhenTheNextStartReadsItBack) {
  Rig rig(bound_to(kChairText, false));
  const auto before = rig.stored();
  const auto file_before = rig.dir.read();
  const size_t unnamed = bind::binding_file_text(bind::BindConfig{"", "", false, {}}).size();
  // One byte over what the start-up reads is refused; the record that fills it exactly is kept.
  for (size_t file_size : {bind::kMaxBindingFileBytes + 1, bind::kMaxBindingFileBytes}) {
    SCOPED_TRACE(file_size);
    const bind::BindConfig record{"", std::string(file_size - unnamed, 'n'), false, {}};
    json reply = rig.call("/api/bind/import", bind::binding_text(record, kEventLayout));
    if (file_size > bind::kMaxBindingFileBytes) {
      EXPECT_EQ(reply.value("ok", true), false);
      EXPECT_EQ(reply.value("error", "").rfind("File too large", 0), 0u) << reply.dump().substr(0, 200);
      EXPECT_EQ(rig.stored(), before);
      EXPECT_EQ(rig.dir.read(), file_before);
      EXPECT_EQ(count(rig.drained(), type_is("bind")), 0);
      continue;
    }
    EXPECT_EQ(reply, ok_reply());
    bind::BindingStore next_start(rig.dir.file());
    next_start.load();
    EXPECT_EQ(next_start.snapshot(), record);
  }
}

TEST(BindRoutes, GetAndExportAgreeByteForByte) {
  Rig rig;
  for (const char* route : {"/api/bind/get", "/api/bind/export"}) {
    EXPECT_EQ(rig.call(route),
              (json{{"autoConnect", true}, {"boundAddress", ""}, {"boundName", ""}, {"init", kDefaultInit}}));
  }
  EXPECT_EQ(rig.call("/api/bind/set?addr=aa:bb:cc:dd:ee:ff&name=%E4%B9%A6%E6%88%BF%22q%22"), ok_reply());
  auto got = get(rig.port(), "/api/bind/get");
  auto exported = get(rig.port(), "/api/bind/export");
  EXPECT_EQ(got.body, exported.body);
  // Members in ascending order at both levels.
  EXPECT_EQ(got.body, R"({"autoConnect":true,"boundAddress":"AA:BB:CC:DD:EE:FF","boundName":"书房\"q\"",)"
                      R"("init":{"coolLevel":10,"heatLevel":6,"lumbar":3,"vibrate":0,"volume":0,"water":"cool"}})");
}

TEST(BindRoutes, AFailedSaveIsReportedAndChangesNothing) {
  Rig rig(bound_to(kChairText, false));
  const auto before = rig.stored();
  // A folder where bind.json should be: the new file cannot be moved into place.
  std::filesystem::remove(rig.dir.file());
  std::filesystem::create_directories(rig.dir.file());

  const std::pair<const char*, const char*> calls[] = {
      {"/api/bind/set?addr=aa:bb:cc:dd:ee:ff", ""},
      {"/api/bind/clear", ""},
      {"/api/bind/autoconnect?on=1", ""},
      {"/api/bind/init", R"({"water":"heat"})"},
      {"/api/bind/import", R"({"boundAddress":"AA:BB:CC:DD:EE:FF","autoConnect":true})"},
  };
  for (const auto& [target, body] : calls) {
    SCOPED_TRACE(target);
    json reply = rig.call(target, body);
    EXPECT_EQ(reply.value("ok", true), false);
    EXPECT_FALSE(reply.value("error", "").empty());
    EXPECT_EQ(rig.stored(), before);
  }
  EXPECT_EQ(rig.call("/api/bind/get")["boundAddress"], kChairText);
  // Nothing announced, and no attempt started.
  std::this_thread::sleep_for(100ms);
  auto records = rig.drained();
  EXPECT_EQ(count(records, type_is("bind")), 0);
  EXPECT_EQ(count(records, type_is("log")), 0);
  EXPECT_EQ(count(records, type_is("autoconnect")), 0);
}

// ---- shutdown ---------------------------------------------------------------------------

TEST(Shutdown, WithoutAChairItOnlyStopsScanningAndReportsIdle) {
  Rig rig;
  EXPECT_EQ(rig.call("/api/scan/start"), ok_reply());
  ASSERT_TRUE(rig.events->wait_for(status_is("scanning")));
  EXPECT_EQ(rig.call("/api/shutdown"), ok_reply());
  EXPECT_TRUE(rig.events->wait_for(status_is("idle")));
  EXPECT_EQ(rig.fake->scans_running(), 0);
  EXPECT_FALSE(rig.svc().scanner().scanning());
  EXPECT_TRUE(rig.chair.data->writes().empty());
  EXPECT_EQ(count(rig.drained(), log_is("chair entered silent state")), 0);
}

TEST(Shutdown, AReadyChairHearsTheEightSilentFramesEvenWhenEveryWriteFails) {
  Rig rig;
  EXPECT_EQ(rig.call("/api/connect?addr=" + std::string(kChairText)), ok_reply());
  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));
  // The initial settings end with the lumbar level; count writes from there.
  const Bytes last_init = *ble::level_frame(ble::kLumbar, 3);
  ASSERT_TRUE(rig.events->wait_log("TX: " + ble::hex_dump(last_init)));
  ASSERT_TRUE(eventually([&] { return rig.chair.data->writes().back().bytes == last_init; }));
  ASSERT_TRUE(rig.svc().link().thermal().active);
  const size_t before = rig.chair.data->writes().size();
  rig.chair.data->set_write_result(ble::WriteOption::WithResponse, fail("radio busy"));
  rig.chair.data->set_write_result(ble::WriteOption::WithoutResponse, fail("radio busy"));

  const auto started = Clock::now();
  // A chair that may still be running is no success.
  const std::string incomplete =
      "silent shutdown incomplete: the chair may still be running (not switched off: cooling, heating, lumbar, "
      "vibration, volume, water, motion, Bluetooth audio)";
  EXPECT_EQ(rig.call("/api/shutdown"), (nlohmann::json{{"error", incomplete}, {"ok", false}}));
  const auto took = Clock::now() - started;

  // Each frame is tried with both write options before the next one, and the eight once more.
  const auto writes = rig.chair.data->writes();
  std::vector<Bytes> frames;
  for (size_t i = before; i < writes.size(); ++i)
    if (frames.empty() || frames.back() != writes[i].bytes) frames.push_back(writes[i].bytes);
  const std::vector<Bytes> once = ble::silent_frames();
  std::vector<Bytes> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(frames, twice);
  EXPECT_GE(took, 16 * fast_timings().link.silent_step - 20ms);
  EXPECT_FALSE(rig.svc().link().thermal().active);

  EXPECT_TRUE(rig.events->wait_log("silent shutdown: turning off all chair functions..."));
  for (const Bytes& frame : ble::silent_frames()) EXPECT_TRUE(rig.events->wait_log("TX: " + ble::hex_dump(frame)));
  EXPECT_TRUE(rig.events->wait_log(incomplete));
  EXPECT_TRUE(rig.events->wait_for(status_is("idle")));
  EXPECT_GE(rig.chair.device->closes(), 1);
  EXPECT_EQ(rig.svc().link().view().phase, ble::LinkPhase::Closed);
}

}  // namespace
}  // namespace chair::test
