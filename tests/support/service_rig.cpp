#include "service_rig.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "bind/binding_file.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/frame.h"

namespace chair::test {

Result<InProcessService> start_in_process(ble::PlatformPtr platform, ServiceOptions options) {
  auto service = std::make_shared<Service>(std::move(platform), std::move(options));
  service->start();
  auto server = std::make_shared<http::Server>(service->router(), pre_route());
  auto port = server->listen(0);
  if (!port) return port.take_error();
  // The server and the service stay for the rest of the test process, like the real one.
  std::thread([server, service] { server->run(); }).detach();
  return InProcessService{service, *port};
}

Timings fast_timings() {
  Timings t;
  t.link.discovery_retry = 20ms;
  t.link.after_subscribe = 5ms;
  t.link.status_wait = 300ms;
  t.link.before_init = 5ms;
  t.link.init_step = 2ms;
  t.link.poll_interval = 60s;
  t.link.silent_step = 50ms;
  t.link.call_allowance = 20ms;
  t.autoconnect.first_pass = 5ms;
  t.autoconnect.pause = 40ms;
  t.autoconnect.health_grace = 0s;
  t.autoconnect.health_pause = 150ms;
  return t;
}

bind::BindConfig bound_to(std::string address, bool auto_connect) {
  bind::BindConfig config;
  config.boundAddress = std::move(address);
  config.boundName = "Den chair";
  config.autoConnect = auto_connect;
  return config;
}

void DataDir::write(const bind::BindConfig& config) const {
  std::ofstream(file(), std::ios::binary) << bind::binding_file_text(config);
}

std::optional<std::string> DataDir::read() const {
  std::ifstream in(file(), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

FakeChair add_answering_chair(FakePlatform& fake, uint64_t address, const std::string& name) {
  FakeChair chair = add_data_chair(fake, kDataProps, name, address);
  answer_queries(chair, usual_report());
  return chair;
}

EventPredicate log_is(std::string text) {
  return [text](const nlohmann::json& e) { return e.value("type", "") == "log" && e.value("log", "") == text; };
}
EventPredicate log_starts(std::string prefix) {
  return [prefix](const nlohmann::json& e) {
    return e.value("type", "") == "log" && e.value("log", "").rfind(prefix, 0) == 0;
  };
}
EventPredicate status_is(std::string name) {
  return [name](const nlohmann::json& e) { return e.value("type", "") == "status" && e.value("status", "") == name; };
}
EventPredicate phase_is(std::string phase) {
  return [phase](const nlohmann::json& e) {
    return e.value("type", "") == "autoconnect" && e.value("status", "") == phase;
  };
}
EventPredicate type_is(std::string type) {
  return [type](const nlohmann::json& e) { return e.value("type", "") == type; };
}

std::string summary(const nlohmann::json& event) {
  const std::string type = event.value("type", "");
  if (type == "status") {
    std::string line = "status:" + event.value("status", "");
    if (event.contains("name")) line += "/" + event.value("name", "");
    return line;
  }
  if (type == "log") return "log:" + event.value("log", "");
  if (type == "chair" && event.contains("chair")) return "chair:" + event["chair"].value("raw", "");
  return type;
}

ServiceRig::ServiceRig(std::optional<bind::BindConfig> file) {
  if (file) dir.write(*file);
}

ServiceRig::~ServiceRig() { events.reset(); }

void ServiceRig::start(Timings timings, bool supervisor) {
  ServiceOptions options;
  options.timings = timings;
  // The supervisor starts once the stream is subscribed, or a slow machine could lose its
  // first events before the test listens.
  options.start_supervisor = false;
  options.start_listing = false;
  options.binding_file = dir.file();
  auto started = start_in_process(fake, options);
  if (!started) throw std::runtime_error("service did not start: " + started.error());
  service = *started;
  events = std::make_unique<EventStream>(service.port);
  if (!events->next(5s)) throw std::runtime_error("the event stream sent no snapshot");
  if (supervisor) svc().autoconnect().start();
}

nlohmann::json ServiceRig::call(const std::string& target, const std::string& body) const {
  return get_json(service.port, target, body);
}

std::vector<nlohmann::json> ServiceRig::drained() {
  static std::atomic<int> next{0};
  const std::string marker = "-- marker " + std::to_string(next++) + " --";
  svc().events().publish_log(marker);
  std::vector<nlohmann::json> out;
  auto hit = events->wait_for(
      [&](const nlohmann::json& e) {
        if (log_is(marker)(e)) return true;
        out.push_back(e);
        return false;
      },
      5s);
  if (!hit) ADD_FAILURE() << "the marker did not come back";
  return out;
}

std::vector<std::string> ServiceRig::drain() {
  std::vector<std::string> lines;
  for (const auto& e : drained()) lines.push_back(summary(e));
  return lines;
}

std::vector<std::string> ServiceRig::until(const std::string& last, std::chrono::milliseconds timeout) {
  std::vector<std::string> lines;
  auto hit = events->wait_for(
      [&](const nlohmann::json& j) {
        lines.push_back(summary(j));
        return lines.back() == last;
      },
      timeout);
  if (!hit) {
    std::string seen;
    for (const auto& l : lines) seen += "\n  " + l;
    ADD_FAILURE() << "no event \"" << last << "\"; seen:" << seen;
  }
  return lines;
}

}  // namespace chair::test
