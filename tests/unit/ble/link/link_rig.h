// The in-process service on the scripted platform, with chairs laid out as the link tests
// need them and the event stream read as short comparable lines.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "http_client.h"
#include "main/service.h"
#include "tools/chair-model/chair_model.h"

namespace chair::test::link {

using namespace std::chrono_literals;

inline constexpr uint64_t kChairAddress = 0xC0FFEE01020A;
inline constexpr const char* kChairText = "C0:FF:EE:01:02:0A";
inline constexpr const char* kServiceUuid = "0000fff0-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kOtherServiceUuid = "0000180a-0000-1000-8000-00805f9b34fb";
inline constexpr uint32_t kDataProps = ble::kPropRead | ble::kPropWriteWithoutResponse | ble::kPropWrite |
                                       ble::kPropNotify;

// The spec's pauses divided by ten.
Timings fast_timings();

// A full status report as the chair sends it (length byte = payload + 1).
Bytes full_report(std::array<uint8_t, 7> values);
std::string hex(const Bytes& bytes);

// One event as a line: "status:connecting", "status:connected/<name>", "log:<text>",
// "chair:<raw hex>".
std::string summary(const nlohmann::json& event);

class Rig {
 public:
  explicit Rig(Timings timings = fast_timings());
  ~Rig();

  std::shared_ptr<FakePlatform> fake = std::make_shared<FakePlatform>();
  ServiceState& state() const { return *svc_.state; }
  const StatePtr& state_ptr() const { return svc_.state; }
  uint16_t port() const { return svc_.port; }

  nlohmann::json call(const std::string& target) { return get_json(port(), target); }
  nlohmann::json connect(const std::string& address = kChairText) { return call("/api/connect?addr=" + address); }

  // Event lines up to and including `last` (fails the test when it does not come).
  std::vector<std::string> until(const std::string& last, std::chrono::milliseconds timeout = 5s);
  bool wait_line(const std::string& line, std::chrono::milliseconds timeout = 5s);
  // Every event line published before now: a marker is published and read back.
  std::vector<std::string> drain();

  // The stored binding, replaced in memory.
  void set_binding(const std::string& address, const std::string& name, const std::string& water = "cool");

 private:
  std::filesystem::path dir_;
  InProcessService svc_;
  std::unique_ptr<EventStream> events_;
};

// A chair on the fake platform: a device with a GATT layout.
struct FakeChair {
  FakeDevicePtr device;
  std::vector<FakeCharacteristicPtr> chars;  // every characteristic, in layout order
  std::vector<FakeServicePtr> services;
};

// `layout`: one entry per service, each a list of (uuid, properties).
using Layout = std::vector<std::pair<std::string, std::vector<std::pair<std::string, uint32_t>>>>;
FakeChair add_chair(FakePlatform& fake, const Layout& layout, const std::string& name = "TAMRO S1",
                    uint64_t address = kChairAddress);
// The usual chair: one service holding the data characteristic with `props`.
FakeChair add_data_chair(FakePlatform& fake, uint32_t props = kDataProps, const std::string& name = "TAMRO S1",
                         uint64_t address = kChairAddress);

// Queries written to any characteristic of the chair are answered with `report` on every
// characteristic (only the subscribed one passes it on) when `answer(n)` holds for the
// query's number n (1-based). Other frames are not answered.
void answer_queries(const FakeChair& chair, Bytes report,
                    std::function<bool(int)> answer = [](int) { return true; });
// A chair model behind the data characteristic: every write is applied and answered.
std::shared_ptr<sim::ChairModel> attach_model(const FakeCharacteristicPtr& data);

// The frames written to `c` that equal `frame`.
int count_writes(const FakeCharacteristicPtr& c, const Bytes& frame);

}  // namespace chair::test::link
