// The backend's readings of the daemon's values, without a bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ble/bluez/names.h"
#include "ble/bluez/props.h"

namespace chair::ble::bluez {
namespace {

using ::testing::ElementsAre;

sdbus::Variant text(const char* s) { return sdbus::Variant(std::string(s)); }

TEST(BluezProps, DevicePathsCarryTheAddress) {
  const std::string path = device_path(kSimAdapterPath, "C0:FF:EE:01:02:0A");
  EXPECT_EQ(path, "/org/bluez/hci0/dev_C0_FF_EE_01_02_0A");
  EXPECT_EQ(address_from_device_path(path), 0xC0FFEE01020AULL);
  EXPECT_EQ(address_from_device_path(path + "/service000a"), std::nullopt);
  EXPECT_EQ(address_from_device_path("/org/bluez/hci0/dev_C0_FF_EE_01_02"), std::nullopt);
  // The Address property wins over the path; without it the path still names the device.
  DeviceProps device;
  EXPECT_EQ(device_address(path, device), 0xC0FFEE01020AULL);
  device.address = "11:22:33:44:55:66";
  EXPECT_EQ(device_address(path, device), 0x112233445566ULL);
}

TEST(BluezProps, DefaultAdapterAndDeviceLookup) {
  EXPECT_EQ(pick_default_adapter({}), std::nullopt);
  EXPECT_EQ(pick_default_adapter({"/org/bluez/hci10", "/org/bluez/hci2"}), "/org/bluez/hci2");
  EXPECT_EQ(pick_default_adapter({"/org/bluez/other", "/org/bluez/hci1"}), "/org/bluez/hci1");

  // The same device seen by two adapters: the one below the chosen adapter is used.
  ObjectSnapshot snap;
  snap.devices["/org/bluez/hci1/dev_C0_FF_EE_01_02_0A"].address = "C0:FF:EE:01:02:0A";
  snap.devices["/org/bluez/hci2/dev_C0_FF_EE_01_02_0A"].address = "C0:FF:EE:01:02:0A";
  EXPECT_EQ(find_device(snap, 0xC0FFEE01020AULL, "/org/bluez/hci2"), "/org/bluez/hci2/dev_C0_FF_EE_01_02_0A");
  EXPECT_EQ(find_device(snap, 0xC0FFEE01020BULL, "/org/bluez/hci2"), std::nullopt);
}

TEST(BluezProps, AttributesAreListedInHandleOrder) {
  // Dictionary order would put service0100 before service00ff and service000a after service0009.
  ManagedObjects objects;
  const std::string dev = "/org/bluez/hci0/dev_C0_FF_EE_01_02_0A";
  for (const char* s : {"/service0100", "/service000a", "/service0009", "/service00ff"}) {
    objects[sdbus::ObjectPath(dev + s)][kGattServiceIface] = {{kUuid, text("0000fff0-0000-1000-8000-00805f9b34fb")},
                                                              {kDevice, sdbus::Variant(sdbus::ObjectPath(dev))}};
  }
  auto snap = parse_managed_objects(objects);
  std::vector<std::string> order;
  for (const auto& s : snap.services) order.push_back(s.path.substr(dev.size()));
  EXPECT_THAT(order, ElementsAre("/service0009", "/service000a", "/service00ff", "/service0100"));
  EXPECT_EQ(snap.services[0].device, dev);
}

TEST(BluezProps, FlagsBecomePropertyBits) {
  EXPECT_EQ(flags_to_properties({"read", "write-without-response", "write", "notify"}), 0x1Eu);
  EXPECT_EQ(flags_to_properties({"indicate", "encrypt-read", "authorize", "reliable-write"}), 0x120u);
  EXPECT_EQ(
      flags_to_properties({"broadcast", "authenticated-signed-writes", "extended-properties", "writable-auxiliaries"}),
      0x2C1u);
}

TEST(BluezProps, MergedPropertiesIgnoreWrongTypesAndDropInvalidatedKeys) {
  DeviceProps d;
  merge_device_props(d, {{kAddress, text("C0:FF:EE:01:02:0A")},
                         {kRssi, sdbus::Variant(int16_t{-60})},
                         {kConnected, text("yes")},
                         {kManufacturerData, sdbus::Variant(std::map<uint16_t, sdbus::Variant>{
                                                 {0x004C, sdbus::Variant(std::vector<uint8_t>{1})},
                                                 {0xFFFF, sdbus::Variant(std::vector<uint8_t>{2})}})}});
  EXPECT_EQ(d.rssi, -60);
  EXPECT_EQ(d.connected, std::nullopt);
  EXPECT_EQ(d.company_ids, (std::vector<uint16_t>{0x004C, 0xFFFF}));
  merge_device_props(d, {{kConnected, sdbus::Variant(true)}});
  invalidate_device_props(d, {kRssi});
  EXPECT_EQ(d.rssi, std::nullopt);
  EXPECT_EQ(d.connected, true);
  EXPECT_EQ(d.address, "C0:FF:EE:01:02:0A");

  EXPECT_TRUE(has_advertising_key({{kRssi, sdbus::Variant(int16_t{-1})}}));
  EXPECT_TRUE(has_advertising_key({{kManufacturerData, sdbus::Variant(std::map<uint16_t, sdbus::Variant>{})}}));
  EXPECT_FALSE(has_advertising_key({{kConnected, sdbus::Variant(true)}, {kAlias, text("x")}}));
}

// The daemon sends "absent" as empty or zero (a registered property cannot be left out).
TEST(BluezProps, AdvertisementsTreatEmptyAsAbsent) {
  const std::string path = "/org/bluez/hci0/dev_C0_FF_EE_01_02_0A";
  DeviceProps d;
  d.rssi = 0;
  d.name = "";
  d.uuids = std::vector<std::string>{"0000fff0-0000-1000-8000-00805f9b34fb", "not-a-uuid"};
  d.company_ids = std::vector<uint16_t>{0xFFFF};
  Advertisement adv = to_advertisement(path, d);
  EXPECT_EQ(adv.address, 0xC0FFEE01020AULL);
  EXPECT_EQ(adv.rssi, std::nullopt);
  EXPECT_EQ(adv.local_name, std::nullopt);
  ASSERT_EQ(adv.service_uuids.size(), 1u);
  EXPECT_EQ(adv.service_uuids[0].to_string(), "0000fff0-0000-1000-8000-00805f9b34fb");
  EXPECT_THAT(adv.company_ids, ElementsAre(0xFFFF));

  d.rssi = -61;
  d.name = "TAMRO-X1";
  adv = to_advertisement(path, d);
  EXPECT_EQ(adv.rssi, -61);
  EXPECT_EQ(adv.local_name, "TAMRO-X1");
}

TEST(BluezProps, FriendlyNamesAndPairedListing) {
  auto device = [](std::string address, std::optional<std::string> alias, std::optional<std::string> name, bool paired,
                   bool bonded) {
    DeviceProps d;
    d.address = std::move(address);
    d.alias = std::move(alias);
    d.name = std::move(name);
    d.paired = paired;
    d.bonded = bonded;
    return d;
  };
  ObjectSnapshot snap;
  snap.devices["/a"] = device("C0:FF:EE:01:02:0A", "  TAMRO-X1 ", "ignored", true, false);
  snap.devices["/b"] = device("C0:FF:EE:01:02:0B", "C0-FF-EE-01-02-0B", "TAMRO-B", false, true);
  snap.devices["/c"] = device("C0:FF:EE:01:02:0C", "c0-ff-ee-01-02-0c", std::nullopt, true, true);
  snap.devices["/d"] = device("C0:FF:EE:01:02:0D", "TAMRO-D", "TAMRO-D", false, false);
  snap.devices["/e"] = device("C0:FF:EE:01:02:0E", " ", "", true, false);

  EXPECT_EQ(friendly_name(snap.devices["/b"]), "TAMRO-B");
  EXPECT_EQ(friendly_name(snap.devices["/c"]), std::nullopt);
  EXPECT_EQ(paired_names(snap), (PairedNames{{"C0FFEE01020A", "TAMRO-X1"}, {"C0FFEE01020B", "TAMRO-B"}}));
}

}  // namespace
}  // namespace chair::ble::bluez
