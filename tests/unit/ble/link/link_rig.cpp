#include "link_rig.h"

#include <stdlib.h>

#include <atomic>

#include "ble/protocol/commands.h"
#include "ble/protocol/frame.h"
#include "main/service_state.h"

namespace chair::test::link {

Timings fast_timings() {
  Timings t;
  t.discovery_retry = 50ms;
  t.after_subscribe = 30ms;
  t.status_wait = 150ms;
  t.status_check = 5ms;
  t.before_init = 40ms;
  t.init_step = 15ms;
  t.poll_interval = 200ms;
  t.silent_step = 5ms;
  return t;
}

Bytes full_report(std::array<uint8_t, 7> values) {
  Bytes frame;
  frame.reserve(13);
  for (uint8_t b : {0x55, 0x01, 0x0B, 0x08}) frame.push_back(b);
  for (uint8_t v : values) frame.push_back(v);
  uint8_t sum = 0;
  for (size_t i = 1; i < frame.size(); ++i) sum ^= frame[i];
  frame.push_back(sum);
  frame.push_back(0xAA);
  return frame;
}

std::string hex(const Bytes& bytes) { return ble::hex_dump(bytes); }

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

Rig::Rig(Timings timings) {
  // Every test case runs in a process of its own; its binding file lives in a fresh folder.
  std::string pattern = (std::filesystem::temp_directory_path() / "chair-link-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  setenv("TAMRO_DATA_DIR", dir_.c_str(), 1);

  InProcessOptions options;
  options.timings = timings;
  options.start_supervisor = false;
  options.start_listing = false;
  auto svc = start_in_process(fake, options);
  if (!svc) throw std::runtime_error("service did not start: " + svc.error());
  svc_ = std::move(*svc);
  events_ = std::make_unique<EventStream>(svc_.port);
  // The snapshot arrives once the stream is subscribed; nothing published later is missed.
  if (!events_->next(5s)) throw std::runtime_error("no event stream snapshot");
}

Rig::~Rig() {
  events_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> Rig::until(const std::string& last, std::chrono::milliseconds timeout) {
  std::vector<std::string> lines;
  auto hit = events_->wait_for(
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

bool Rig::wait_line(const std::string& line, std::chrono::milliseconds timeout) {
  return events_->wait_for([&](const nlohmann::json& j) { return summary(j) == line; }, timeout).has_value();
}

std::vector<std::string> Rig::drain() {
  static std::atomic<int> next{0};
  const std::string marker = "-- marker " + std::to_string(next++) + " --";
  state().events.publish_log(marker);
  auto lines = until("log:" + marker);
  if (!lines.empty()) lines.pop_back();
  return lines;
}

void Rig::set_binding(const std::string& address, const std::string& name, const std::string& water) {
  std::lock_guard lock(state().binding.mutex);
  state().binding.config.boundAddress = address;
  state().binding.config.boundName = name;
  state().binding.config.init.water = water;
}

FakeChair add_chair(FakePlatform& fake, const Layout& layout, const std::string& name, uint64_t address) {
  FakeChair chair;
  for (const auto& [service_uuid, chars] : layout) {
    std::vector<FakeCharacteristicPtr> in_service;
    for (const auto& [uuid_text, props] : chars) {
      in_service.push_back(std::make_shared<FakeCharacteristic>(uuid_text, props));
      chair.chars.push_back(in_service.back());
    }
    chair.services.push_back(std::make_shared<FakeService>(service_uuid, in_service));
  }
  chair.device = std::make_shared<FakeDevice>("dev-" + std::to_string(address), name);
  chair.device->set_services(chair.services);
  fake.add_device(address, chair.device);
  return chair;
}

FakeChair add_data_chair(FakePlatform& fake, uint32_t props, const std::string& name, uint64_t address) {
  return add_chair(fake, {{kServiceUuid, {{std::string(ble::kDataCharacteristicUuid), props}}}}, name, address);
}

void answer_queries(const FakeChair& chair, Bytes report, std::function<bool(int)> answer) {
  auto queries = std::make_shared<std::atomic<int>>(0);
  // Raw pointers: the hooks live inside the characteristics they point at.
  std::vector<FakeCharacteristic*> all;
  for (const auto& c : chair.chars) all.push_back(c.get());
  for (const auto& c : chair.chars) {
    c->on_write([all, report, answer, queries](const Bytes& bytes) {
      if (bytes != ble::query_frame()) return;
      if (!answer(++*queries)) return;
      for (auto* target : all) target->notify(report);
    });
  }
}

std::shared_ptr<sim::ChairModel> attach_model(const FakeCharacteristicPtr& data) {
  auto model = std::make_shared<sim::ChairModel>();
  FakeCharacteristic* raw = data.get();
  data->on_write([model, raw](const Bytes& bytes) {
    for (const auto& n : model->on_write(bytes)) raw->notify(n);
  });
  return model;
}

int count_writes(const FakeCharacteristicPtr& c, const Bytes& frame) {
  int n = 0;
  for (const auto& w : c->writes()) n += w.bytes == frame;
  return n;
}

}  // namespace chair::test::link
