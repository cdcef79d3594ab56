// The in-process rig: the service on the scripted platform, with its own data folder, an
// open event stream, chairs laid out as a test needs them, event predicates and short
// timings. Scripting goes between construction and start().
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bind/bind_config.h"
#include "data_dir.h"
#include "fake_chairs.h"
#include "fake_platform.h"
#include "frames.h"
#include "http_client.h"
#include "service/service.h"

namespace chair::test {

// The service inside a test process: the same start-up and serving as the binary's, the server
// on a thread of its own and an ephemeral port. Lives for the rest of the process.
struct InProcessService {
  std::shared_ptr<Service> service;
  uint16_t port = 0;
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
};
Result<InProcessService> start_in_process(ble::PlatformPtr platform, ServiceOptions options = {});

// Every pause short, so the state machines run through in tens of milliseconds. The
// status poll stays slow: its traffic would only blur the writes the tests look at.
Timings fast_timings();

// The report the usual chair answers every query with.
inline Bytes usual_report() { return full_report({5, 0, 0, 0, 3, 27, 0x10}); }

// A binding as a test writes it into bind.json.
bind::BindConfig bound_to(std::string address, bool auto_connect = true);

// The test's data folder, with the binding file read and written directly.
class DataDir : public TempDataDir {
 public:
  void write(const bind::BindConfig& config) const;
  std::optional<std::string> read() const;  // nullopt when there is no file
};

// The usual chair: the data characteristic, answering every status query with a full report.
FakeChair add_answering_chair(FakePlatform& fake, uint64_t address = kChairAddress,
                              const std::string& name = "TAMRO Den");

// ---- event predicates -------------------------------------------------------------------

using EventPredicate = std::function<bool(const nlohmann::json&)>;
EventPredicate log_is(std::string text);
EventPredicate log_starts(std::string prefix);
EventPredicate status_is(std::string name);
EventPredicate phase_is(std::string phase);
EventPredicate type_is(std::string type);
// One event as a short line: "status:connecting", "status:connected/<name>", "log:<text>",
// "chair:<raw hex>", or the type alone.
std::string summary(const nlohmann::json& event);

struct ServiceRig {
  // `file`: what bind.json holds before the service starts (no file when absent).
  explicit ServiceRig(std::optional<bind::BindConfig> file = std::nullopt);
  ~ServiceRig();

  // Starts the service (the paired listing always off) and opens the event stream; the
  // snapshot has arrived when it returns, so nothing published later is missed.
  void start(Timings timings = fast_timings(), bool supervisor = false);

  Service& svc() const { return *service.service; }
  uint16_t port() const { return service.port; }
  nlohmann::json call(const std::string& target, const std::string& body = {}) const;
  nlohmann::json connect(const std::string& address = kChairText) const { return call("/api/connect?addr=" + address); }
  bind::BindConfig stored() const { return svc().binding().snapshot(); }

  // Every record published before now, as JSON: a marker is published and read back.
  std::vector<nlohmann::json> drained();
  // The same as lines (see summary()).
  std::vector<std::string> drain();
  // Event lines up to and including `last` (fails the test when it does not come).
  std::vector<std::string> until(const std::string& last, std::chrono::milliseconds timeout = std::chrono::seconds(5));

  DataDir dir;
  std::shared_ptr<FakePlatform> fake = std::make_shared<FakePlatform>();
  InProcessService service;
  std::unique_ptr<EventStream> events;
};

}  // namespace chair::test
