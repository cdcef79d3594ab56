// The state behind the fake runtime's objects: the radio, the devices with their chairs and
// links, the started watchers, the event registrations, the faults to inject and the records.
// One lock guards it all; no handler of the backend is ever called under it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "async.h"
#include "fake_runtime.h"
#include "object.h"
#include "tools/chair-sim/sim_options.h"

namespace chair::fakert {

// Runs tasks at their time, in order of time and then of posting, on a thread of its own.
class Timeline {
 public:
  Timeline();
  void post(std::chrono::milliseconds delay, std::function<void()> task);
  bool idle();

 private:
  void run();
  std::mutex mutex_;
  std::condition_variable cv_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
  bool busy_ = false;
  std::thread thread_;
};

struct CharacteristicEntry {
  GUID uuid;
  uint32_t properties;
  UINT16 attribute_handle;
  bool takes_frames;   // written frames go to the chair
  bool sends_answers;  // the chair's answers are notified here
};
struct ServiceEntry {
  GUID uuid;
  std::vector<CharacteristicEntry> characteristics;
};

// What a refusing chair answers a write with: a GATT status, or an error of the operation.
struct Refusal {
  INT32 status = 2;
  HRESULT error = S_OK;
};

struct DeviceState {
  sim::DeviceSpec device;  // as the simulator describes it
  uint64_t address = 0;
  std::unique_ptr<sim::ChairModel> model;  // chairs only
  int maintainers = 0;                     // sessions asking for the connection to be kept
  bool connected = false;
  uint64_t link = 0;  // counts link-ups; an answer of an older link is dropped
  INT32 cccd = 0;     // client configuration: None 0, Notify 1, Indicate 2
  std::optional<Refusal> refusal;
  std::vector<std::string> writes;
};

// One BluetoothLEDevice object the backend obtained; its GATT objects refer to it, and it
// closing makes them unusable.
struct DeviceHandle {
  explicit DeviceHandle(uint64_t a) : address(a) {}
  const uint64_t address;
  std::atomic<bool> closed{false};
};

class FakeCharacteristic;
class FakeWatcher;

struct ValueRegistration {
  int64_t token = 0;
  std::shared_ptr<DeviceHandle> device;
  GUID uuid{};
  Com<FakeCharacteristic> sender;
  Com<abi::IValueChangedHandler> handler;
};

enum class OperationFault { None, Fail, Empty, Hang };
struct OperationPlan {
  OperationFault fault = OperationFault::None;
  HRESULT error = S_OK;
};

class World {
 public:
  World();

  // Records the call; returns the fault to answer it with (S_OK: none).
  HRESULT enter(const std::string& call);
  OperationPlan plan_operation(const std::string& call);

  // Starts an operation of `call` whose result `produce` makes when it completes (on the
  // operations thread). `produce` returns the result with one reference for the operation
  // to take over, or a failure.
  template <class T>
  Com<AsyncOperation<T>> start(const std::string& call, std::function<std::pair<HRESULT, T>()> produce);

  DeviceState* find(uint64_t address);  // under mutex
  // Link up or down as the radio, presence and sessions say; under mutex. Returns whether it
  // went down.
  bool update_link(DeviceState& d);
  void link_down(DeviceState& d);
  // A GATT exchange needs the chair in range with the radio on; it brings the link up.
  bool reachable(DeviceState& d);

  // The chair's answers, notified to every handler of its answering characteristic.
  void send_answers(uint64_t address, uint64_t link, std::vector<sim::Bytes> notes);
  // Held-back answers released after the flush delay.
  void schedule_flush(uint64_t address, uint64_t link);

  int64_t next_token() { return ++tokens_; }

  // The world's state.
  std::mutex mutex;
  uint64_t epoch = 0;  // counts reset(); a session of an earlier world leaves this one alone
  Options options;
  std::map<uint64_t, DeviceState> devices;
  std::vector<Com<FakeWatcher>> started_watchers;
  std::vector<ValueRegistration> value_registrations;
  int registrations = 0;  // every add_ minus every remove_

  // The records, under a lock of their own (objects are born and calls made under `mutex`).
  std::mutex records_mutex;
  uint64_t records_epoch = 0;
  std::vector<std::string> calls;
  std::vector<std::string> apartment_violations;
  std::map<std::string, int> status_reads;
  std::map<std::string, int> live;
  std::map<std::string, std::pair<HRESULT, int>> call_faults;
  std::map<std::string, std::pair<OperationPlan, int>> operation_faults;

  Timeline operations;
  Timeline events;

 private:
  std::atomic<int64_t> tokens_{0};
};

World& world();

// The layouts of the simulator's chairs, and what any other device offers.
std::vector<ServiceEntry> gatt_table(const DeviceState& d);

// Objects the parts of the runtime make for each other.
Com<abi::IBuffer> make_buffer(std::vector<uint8_t> bytes);
Com<abi::IBluetoothLEAdvertisementReceivedEventArgs> make_received_args(const DeviceState& d);
Com<abi::IGattValueChangedEventArgs> make_value_changed_args(Com<abi::IBuffer> value);

std::string format_guid(const GUID& g);
std::string address_text(uint64_t address);

template <class T>
Com<AsyncOperation<T>> World::start(const std::string& call, std::function<std::pair<HRESULT, T>()> produce) {
  auto op = AsyncOperation<T>::make(call);
  const OperationPlan plan = plan_operation(call);
  std::chrono::milliseconds delay;
  {
    std::lock_guard lock(mutex);
    delay = options.operation_time;
  }
  if (plan.fault == OperationFault::Hang) return op;
  operations.post(delay, [op, plan, produce = std::move(produce)] {
    switch (plan.fault) {
      case OperationFault::Fail: op->error(plan.error); return;
      case OperationFault::Empty: op->complete(T{}); return;
      default: break;
    }
    auto [hr, result] = produce();
    if (FAILED(hr)) {
      op->error(hr);
      return;
    }
    op->complete(result);
    ResultSlot<T>::drop(result);
  });
  return op;
}

}  // namespace chair::fakert
