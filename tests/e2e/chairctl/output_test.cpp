// The pieces of chairctl that turn the service's bytes into what a person or a script reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/chairctl/recording.h"
#include "tools/chairctl/render.h"
#include "tools/chairctl/sse.h"

namespace chairctl {
namespace {

TEST(ChairctlSse, RecordsSurviveAnyCutOfTheByteStream) {
  const std::string stream =
      "data: {\"type\":\"status\",\"status\":\"idle\"}\n\n"
      ": ping\n\n"
      "data: {\"type\":\"log\",\"log\":\"已解绑座椅\"}\n\n"
      "data: {\"type\":\"log\",\"log\":\"a\\nb\"}\r\n\r\n"
      "data:{\"type\":\"x\"}\n\n";
  const std::vector<std::string> want = {
      "{\"type\":\"status\",\"status\":\"idle\"}",
      "{\"type\":\"log\",\"log\":\"已解绑座椅\"}",
      "{\"type\":\"log\",\"log\":\"a\\nb\"}",
      "{\"type\":\"x\"}",
  };
  // Every split into two pieces, and byte by byte.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SseSplitter splitter(1024);
    auto got = splitter.feed(std::string_view(stream).substr(0, cut));
    auto rest = splitter.feed(std::string_view(stream).substr(cut));
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, want) << "cut at " << cut;
    EXPECT_EQ(splitter.comments(), 1u);
    EXPECT_EQ(splitter.pending(), 0u);
  }
  SseSplitter bytewise(1024);
  std::vector<std::string> got;
  for (char c : stream) {
    auto r = bytewise.feed(std::string_view(&c, 1));
    got.insert(got.end(), r.begin(), r.end());
  }
  EXPECT_EQ(got, want);
}

TEST(ChairctlOutput, EventLines) {
  struct Case {
    std::string record;
    std::string line;
  };
  const Case cases[] = {
      {R"({"type":"status","status":"connected","name":"TAMRO X1"})", "status connected (TAMRO X1)"},
      {R"({"type":"status","status":"idle"})", "status idle"},
      {R"({"type":"log","log":"TX: 55 01 0A 01 00 0A AA"})", "log TX: 55 01 0A 01 00 0A AA"},
      {R"j({"type":"log","log":"已绑定座椅 Den (C0:FF:EE:01:02:0A)"})j", "log 已绑定座椅 Den (C0:FF:EE:01:02:0A)"},
      {R"({"type":"chair","chair":{"cold":5,"hot":0,"vibrate":2,"volume":1,"lumbar":3,"temp":27,"switchByte":24,)"
       R"("btAudio":false,"motion":false,"headphone":false,"seated":true,"waterOn":true,"heating":false,"raw":"55"}})",
       "chair cold=5 hot=0 vibrate=2 volume=1 lumbar=3 temp=27 switch=0x18 water=on heating=off seated=yes "
       "motion=off audio=off headphone=no"},
      {R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"TAMRO S1","rssi":-61,"hits":3,"lastSeen":""}})",
       "device C0:FF:EE:01:02:0A \"TAMRO S1\" rssi=-61 hits=3"},
      {R"({"type":"bind","bind":{"boundAddress":"","boundName":"","autoConnect":true,"init":{"water":"cool",)"
       R"("coolLevel":10,"heatLevel":6,"lumbar":3,"vibrate":0,"volume":0}}})",
       "bind none autoconnect=on init water=cool cool=10 heat=6 lumbar=3 vibrate=0 volume=0"},
      {R"({"type":"autoconnect","status":"waiting","bind":{"boundAddress":"AA:BB","boundName":"Den",)"
       R"("autoConnect":true,"init":{"water":"off"}}})",
       "autoconnect waiting AA:BB (Den) autoconnect=on init water=off cool=0 heat=0 lumbar=0 vibrate=0 volume=0"},
      // Members of an unexpected type or a record from a newer service never end the watch.
      {R"({"type":"chair","chair":{"cold":"5"}})",
       "chair cold=0 hot=0 vibrate=0 volume=0 lumbar=0 temp=0 switch=0x00 water=off heating=off seated=no "
       "motion=off audio=off headphone=no"},
      {R"({"type":"battery","level":3})", R"(battery {"type":"battery","level":3})"},
      {"not json", "not json"},
  };
  for (const auto& c : cases) EXPECT_EQ(render_event(c.record, false), c.line) << c.record;
}

TEST(ChairctlOutput, OutsideTextCannotDriveTheTerminal) {
  // An advertised name is anybody's text: escape sequences are shown, not obeyed.
  const std::string record =
      "{\"type\":\"device\",\"device\":{\"address\":\"C0:FF:EE:01:02:0A\",\"name\":\"TAMRO\\u001b[2J\\u0007\\u0085x\","
      "\"rssi\":-50,\"hits\":1,\"lastSeen\":\"\"}}";
  const std::string line = render_event(record, false);
  EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  EXPECT_EQ(line.find('\x07'), std::string::npos) << line;
  EXPECT_NE(line.find("TAMRO\\x1b[2J\\x07"), std::string::npos) << line;
  EXPECT_EQ(printable("冷却 \xC2\x85 \xff"), "冷却 \\u0085 \xEF\xBF\xBD");

  // Colour is only ever added around the words chairctl writes itself.
  const std::string colored = render_event(R"({"type":"status","status":"connected"})", true);
  EXPECT_NE(colored.find("\x1b[32mconnected\x1b[0m"), std::string::npos) << colored;
}

TEST(ChairctlOutput, ExportedBindingIsTheBindingFileForm) {
  // What bind export writes can be dropped in as bind.json: the members in the file's own
  // order whatever order the reply had, two-space indentation, unknown members kept last.
  const nlohmann::json reply = {
      {"autoConnect", false},
      {"boundAddress", "C0:FF:EE:01:02:0A"},
      {"boundName", "Den \"chair\""},
      {"extra", 1},
      {"init", {{"coolLevel", 10}, {"heatLevel", -3}, {"lumbar", 3}, {"vibrate", 0}, {"volume", 0}, {"water", "heat"}}},
  };
  EXPECT_EQ(binding_file_text(reply),
            "{\n"
            "  \"boundAddress\": \"C0:FF:EE:01:02:0A\",\n"
            "  \"boundName\": \"Den \\\"chair\\\"\",\n"
            "  \"autoConnect\": false,\n"
            "  \"init\": {\n"
            "    \"water\": \"heat\",\n"
            "    \"coolLevel\": 10,\n"
            "    \"heatLevel\": -3,\n"
            "    \"lumbar\": 3,\n"
            "    \"vibrate\": 0,\n"
            "    \"volume\": 0\n"
            "  },\n"
            "  \"extra\": 1\n"
            "}");
}

TEST(ChairctlOutput, DeviceTableStrongestFirst) {
  std::vector<DeviceRow> rows = {{"AA:00:00:00:00:02", "TAMRO B", -80, 2},
                                 {"AA:00:00:00:00:01", "TAMRO 冷", -40, 9},
                                 {"AA:00:00:00:00:03", "TAMRO C", -80, 1}};
  sort_rows(rows);
  EXPECT_EQ(render_table(rows),
            "ADDRESS            NAME      RSSI  HITS\n"
            "AA:00:00:00:00:01  TAMRO 冷   -40  9\n"
            "AA:00:00:00:00:02  TAMRO B    -80  2\n"
            "AA:00:00:00:00:03  TAMRO C    -80  1\n");
  EXPECT_EQ(render_found_line({"AA:00:00:00:00:01", "TAMRO \x1b[2J", -40, 9}),
            "AA:00:00:00:00:01\tTAMRO \\x1b[2J\t-40\n");
}

TEST(ChairctlRecording, MaskReplacesAddressesAndNamesInEveryRecord) {
  const std::string records[] = {
      R"j({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"TAMRO Den","rssi":-61,"hits":1,"lastSeen":""}})j",
      R"j({"type":"log","log":"link opened Kid's chair (C0:FF:EE:01:02:0B)"})j",
      R"j({"type":"log","log":"failed on /org/bluez/hci0/dev_c0_ff_ee_01_02_0a: C0FFEE01020A, TAMRO Denim, Kid's chair"})j",
      R"j({"type":"bind","bind":{"boundAddress":"C0:FF:EE:01:02:0B","boundName":"Kid's chair","autoConnect":true}})j",
  };
  SessionMask mask;
  for (const auto& record : records) mask.learn(record);
  EXPECT_EQ(
      mask.apply(records[0]),
      R"j({"type":"device","device":{"address":"02:00:00:00:00:01","name":"TAMRO masked 1","rssi":-61,"hits":1,"lastSeen":""}})j");
  EXPECT_EQ(mask.apply(records[1]), R"j({"type":"log","log":"link opened TAMRO masked 2 (02:00:00:00:00:02)"})j");
  // Every form of an address; a name only where it stands alone.
  EXPECT_EQ(
      mask.apply(records[2]),
      R"j({"type":"log","log":"failed on /org/bluez/hci0/dev_02_00_00_00_00_01: 020000000001, TAMRO Denim, TAMRO masked 2"})j");
  EXPECT_EQ(
      mask.apply(records[3]),
      R"j({"type":"bind","bind":{"boundAddress":"02:00:00:00:00:02","boundName":"TAMRO masked 2","autoConnect":true}})j");
}

}  // namespace
}  // namespace chairctl
