// Chairs laid out on the scripted platform: a device with a GATT layout, and the ways a test
// makes it answer (canned reports, or the virtual chair model).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "frames.h"

namespace chair::sim {
class ChairModel;
}

namespace chair::test {

inline constexpr uint64_t kChairAddress = 0xC0FFEE01020A;
inline constexpr const char* kChairText = "C0:FF:EE:01:02:0A";
inline constexpr const char* kServiceUuid = "0000fff0-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kOtherServiceUuid = "0000180a-0000-1000-8000-00805f9b34fb";
inline constexpr uint32_t kDataProps =
    ble::kPropRead | ble::kPropWriteWithoutResponse | ble::kPropWrite | ble::kPropNotify;

struct FakeChair {
  FakeDevicePtr device;
  FakeCharacteristicPtr data;                // the data characteristic, when the layout has one
  std::vector<FakeCharacteristicPtr> chars;  // every characteristic, in layout order
  std::vector<FakeServicePtr> services;
};

// One entry per service, each a list of (uuid, properties).
using Layout = std::vector<std::pair<std::string, std::vector<std::pair<std::string, uint32_t>>>>;
FakeChair add_chair(FakePlatform& fake, const Layout& layout, const std::string& name = "TAMRO S1",
                    uint64_t address = kChairAddress);
// The usual chair: one service holding the data characteristic with `props`.
FakeChair add_data_chair(FakePlatform& fake, uint32_t props = kDataProps, const std::string& name = "TAMRO S1",
                         uint64_t address = kChairAddress);

// Queries written to any characteristic of the chair are answered with `report` on every
// characteristic (only the subscribed one passes it on) when `answer(n)` holds for the
// query's number n (1-based). Other frames are not answered.
void answer_queries(
    const FakeChair& chair, Bytes report, std::function<bool(int)> answer = [](int) { return true; });
// A chair model behind the data characteristic: every write is applied and answered.
std::shared_ptr<sim::ChairModel> attach_model(const FakeCharacteristicPtr& data);

// The frames written to `c` that equal `frame`.
int count_writes(const FakeCharacteristicPtr& c, const Bytes& frame);

}  // namespace chair::test
