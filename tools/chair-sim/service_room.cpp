#include "service_room.h"

#include "ble/bluez/names.h"

namespace chair::sim {

using namespace ble::bluez;

namespace {

constexpr const char* kDataCharUuid = "7772e5db-3868-4112-a1a9-f2669d106bf3";
constexpr const char* kNotifierUuid = "0000fff1-0000-1000-8000-00805f9b34fb";
constexpr const char* kOtherCharUuid = "0000fff2-0000-1000-8000-00805f9b34fb";
constexpr uint16_t kServiceHandle = 0x000a;

}  // namespace

ServiceRoom::ServiceRoom(World& world, CharacteristicRoom& characteristics)
    : world_(world), characteristics_(characteristics) {}

void ServiceRoom::build_table(DeviceSim& d) {
  if (!d.spec.chair || !d.services.empty()) return;
  auto service = std::make_unique<ServiceSim>();
  service->handle = kServiceHandle;
  service->path = d.path + "/" + handle_suffix(kServicePathPrefix, service->handle);
  service->uuid = kChairServiceUuid;

  auto make_char = [&](uint16_t handle, std::string uuid, std::vector<std::string> flags, bool takes, bool sends) {
    auto c = std::make_unique<CharSim>();
    c->handle = handle;
    c->path = service->path + "/" + handle_suffix(kCharacteristicPathPrefix, handle);
    c->uuid = std::move(uuid);
    c->flags = std::move(flags);
    c->takes_commands = takes;
    c->sends_answers = sends;
    return c;
  };
  const std::string data_uuid(kDataCharUuid);
  std::vector<std::unique_ptr<CharSim>> chars;
  switch (d.spec.layout) {
    case Layout::kNormal:
      chars.push_back(
          make_char(0x000b, data_uuid, {kFlagRead, kFlagWriteWithoutResponse, kFlagWrite, kFlagNotify}, true, true));
      break;
    case Layout::kIndicateOnly:
      chars.push_back(make_char(0x000b, data_uuid, {kFlagRead, kFlagWrite, kFlagIndicate}, true, true));
      break;
    case Layout::kWriteOnlyWithNotifier:
      chars.push_back(make_char(0x000b, data_uuid, {kFlagWriteWithoutResponse, kFlagWrite}, true, false));
      chars.push_back(make_char(0x000e, kNotifierUuid, {kFlagNotify}, false, true));
      break;
    case Layout::kForeignChar:
      chars.push_back(make_char(0x000b, kNotifierUuid, {kFlagRead, kFlagWrite, kFlagNotify}, true, true));
      break;
    case Layout::kNoDataChar: chars.push_back(make_char(0x000b, kOtherCharUuid, {kFlagRead}, false, false)); break;
  }

  auto object = sdbus::createObject(world_.bus, service->path);
  ServiceSim* sp = service.get();
  const std::string device = d.path;
  object->registerProperty(kUuid).onInterface(kGattServiceIface).withGetter([sp] { return sp->uuid; });
  object->registerProperty(kPrimary).onInterface(kGattServiceIface).withGetter([] { return true; });
  object->registerProperty(kDevice).onInterface(kGattServiceIface).withGetter([device] {
    return sdbus::ObjectPath(device);
  });
  object->finishRegistration();
  service->object = std::move(object);
  for (auto& c : chars) characteristics_.export_characteristic(d, *service, *c);

  sdbus::IObject* service_object = service->object.get();
  std::vector<sdbus::IObject*> char_objects;
  char_objects.reserve(chars.size());
  for (auto& c : chars) char_objects.push_back(c->object.get());
  world_.locked([&] {
    d.services.push_back(std::move(service));
    for (auto& c : chars) d.chars.push_back(std::move(c));
  });
  service_object->emitInterfacesAddedSignal();
  for (auto* o : char_objects) o->emitInterfacesAddedSignal();
}

void ServiceRoom::remove_table(DeviceSim& d) {
  for (auto it = d.chars.rbegin(); it != d.chars.rend(); ++it) {
    if ((*it)->object) (*it)->object->emitInterfacesRemovedSignal();
    (*it)->object.reset();
  }
  for (auto& s : d.services) {
    if (s->object) s->object->emitInterfacesRemovedSignal();
    s->object.reset();
  }
  world_.locked([&] {
    d.chars.clear();
    d.services.clear();
  });
}

}  // namespace chair::sim
