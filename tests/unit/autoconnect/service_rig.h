// An in-process service with one scripted chair, a private data folder and event helpers,
// shared by the auto-connect and binding-route tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "bind/binding_store.h"
#include "data_dir.h"
#include "fake_platform.h"
#include "http_client.h"
#include "main/http.h"
#include "main/service.h"

namespace chair::test {

inline constexpr uint64_t kChairAddress = 0xC0FFEE01020A;
inline constexpr const char* kChairText = "C0:FF:EE:01:02:0A";

// The test's data folder, with the binding file read and written directly.
class DataDir : public TempDataDir {
 public:
  void write(const bind::BindConfig& config) const {
    std::ofstream(file(), std::ios::binary) << bind::binding_file_text(config);
  }
  // The file's bytes, or nullopt when there is none.
  std::optional<std::string> read() const {
    std::ifstream in(file(), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

inline bind::BindConfig bound_to(std::string address, bool auto_connect = true) {
  bind::BindConfig config;
  config.boundAddress = std::move(address);
  config.boundName = "Den chair";
  config.autoConnect = auto_connect;
  return config;
}

// Every pause short, so the state machines run through in tens of milliseconds. The
// status poll stays slow: its traffic would only blur the writes the tests look at.
inline Timings fast_timings() {
  Timings t;
  t.discovery_retry = 20ms;
  t.after_subscribe = 5ms;
  t.status_wait = 300ms;
  t.status_check = 5ms;
  t.before_init = 5ms;
  t.init_step = 2ms;
  t.poll_interval = 60s;
  t.silent_step = 50ms;
  t.supervisor_first = 5ms;
  t.supervisor_pause = 40ms;
  t.handshake_limit = 1s;
  t.health_grace = 0s;
  t.health_pause = 150ms;
  return t;
}

// The chair's answer to a status query: a full report, cooling 5, switch byte 0x10.
inline Bytes full_report() {
  Bytes frame{0x55, 0x01, 0x0B, 0x08, 5, 0, 0, 0, 3, 27, 0x10};
  uint8_t sum = 0;
  for (size_t i = 1; i < frame.size(); ++i) sum ^= frame[i];
  frame.push_back(sum);
  frame.push_back(0xAA);
  return frame;
}

// A chair with the data characteristic that answers every query with a full report.
struct ScriptedChair {
  FakeDevicePtr device;
  FakeCharacteristicPtr data;
};

inline ScriptedChair add_chair(FakePlatform& fake, uint64_t address = kChairAddress) {
  ScriptedChair chair;
  chair.data = std::make_shared<FakeCharacteristic>(ble::kDataCharacteristicUuid,
                                                    ble::kPropWrite | ble::kPropNotify);
  std::weak_ptr<FakeCharacteristic> weak = chair.data;
  chair.data->on_write([weak](const Bytes& bytes) {
    if (bytes.size() > 1 && bytes[1] == 0x01)
      if (auto data = weak.lock()) data->notify(full_report());
  });
  chair.device =
      std::make_shared<FakeDevice>("dev-" + std::to_string(address), std::string("TAMRO Den"));
  chair.device->set_services({std::make_shared<FakeService>(
      "0000fff0-0000-1000-8000-00805f9b34fb", std::vector<FakeCharacteristicPtr>{chair.data})});
  fake.add_device(address, chair.device);
  return chair;
}

// A stream's first record is the state snapshot, sent once it is subscribed: from then on
// nothing published can pass it by.
inline void await_subscribed(EventStream& events) {
  if (!events.next(5s)) ADD_FAILURE() << "the event stream sent no snapshot";
}

// A data folder holding `file`, a platform with the scripted chair, and, once started, the
// service with an open event stream. Scripting goes between construction and start(). The
// supervisor is left to the test, to be started after the stream is open.
struct ServiceRig {
  DataDir dir;
  std::shared_ptr<FakePlatform> fake = std::make_shared<FakePlatform>();
  ScriptedChair chair = add_chair(*fake);
  InProcessService service;
  std::unique_ptr<EventStream> events;

  explicit ServiceRig(std::optional<bind::BindConfig> file) {
    if (file) dir.write(*file);
  }

  void start(Timings timings = fast_timings()) {
    InProcessOptions options;
    options.timings = timings;
    options.start_supervisor = false;
    options.start_listing = false;
    auto started = start_in_process(fake, options);
    if (!started) throw std::runtime_error("service did not start: " + started.error());
    service = *started;
    events = std::make_unique<EventStream>(service.port);
    await_subscribed(*events);
  }

  nlohmann::json call(const std::string& target, const std::string& body = {}) {
    return get_json(service.port, target, body);
  }
  bind::BindConfig stored() { return bind::binding_snapshot(*service.state); }
  // The records published so far and not yet consumed.
  std::vector<nlohmann::json> drained() {
    std::vector<nlohmann::json> out;
    for (const std::string& text : events->drain()) out.push_back(nlohmann::json::parse(text));
    return out;
  }
};

// ---- event predicates -------------------------------------------------------------------

inline auto log_is(std::string text) {
  return [text](const nlohmann::json& e) {
    return e.value("type", "") == "log" && e.value("log", "") == text;
  };
}
inline auto status_is(std::string name) {
  return [name](const nlohmann::json& e) {
    return e.value("type", "") == "status" && e.value("status", "") == name;
  };
}
inline auto phase_is(std::string phase) {
  return [phase](const nlohmann::json& e) {
    return e.value("type", "") == "autoconnect" && e.value("status", "") == phase;
  };
}
inline auto type_is(std::string type) {
  return [type](const nlohmann::json& e) { return e.value("type", "") == type; };
}

}  // namespace chair::test
