#include "fake_chairs.h"

#include <atomic>

#include "ble/protocol/commands.h"
#include "tools/chair-model/chair_model.h"

namespace chair::test {

FakeChair add_chair(FakePlatform& fake, const Layout& layout, const std::string& name, uint64_t address) {
  FakeChair chair;
  for (const auto& [service_uuid, chars] : layout) {
    std::vector<FakeCharacteristicPtr> in_service;
    for (const auto& [uuid_text, props] : chars) {
      in_service.push_back(std::make_shared<FakeCharacteristic>(uuid_text, props));
      chair.chars.push_back(in_service.back());
      if (uuid_text == ble::kDataCharacteristicUuid && !chair.data) chair.data = in_service.back();
    }
    chair.services.push_back(std::make_shared<FakeService>(service_uuid, in_service));
  }
  chair.device = std::make_shared<FakeDevice>(Result<std::string>(name));
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
  all.reserve(chair.chars.size());
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

}  // namespace chair::test
