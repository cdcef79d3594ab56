// The backend's readings of the daemon's values, without a bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ble/bluez/props.h"

namespace chair::ble::bluez {
namespace {

TEST(BluezProps, AddressesReadFromTextAndPaths) {
  EXPECT_EQ(parse_address("C0:FF:EE:01:02:0A"), 0xC0FFEE01020AULL);
  EXPECT_EQ(parse_address("c0:ff:ee:01:02:0a"), 0xC0FFEE01020AULL);
  for (const char* bad : {"", "C0:FF:EE:01:02", "C0-FF-EE-01-02-0A", "C0:FF:EE:01:02:0G", "C0:FF:EE:01:02:0A:"}) {
    EXPECT_EQ(parse_address(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(address_text(0x0A0B0C0D0E0FULL), "0A:0B:0C:0D:0E:0F");
  EXPECT_EQ(address_from_device_path("/org/bluez/hci0/dev_C0_FF_EE_01_02_0A"), 0xC0FFEE01020AULL);
  EXPECT_EQ(address_from_device_path("/org/bluez/hci0/dev_C0_FF_EE_01_02_0A/service000a"), std::nullopt);
}

TEST(BluezProps, DefaultAdapterHasTheSmallestNumber) {
  EXPECT_EQ(pick_default_adapter({}), std::nullopt);
  EXPECT_EQ(pick_default_adapter({"/org/bluez/hci10", "/org/bluez/hci2"}), "/org/bluez/hci2");
  EXPECT_EQ(pick_default_adapter({"/org/bluez/other", "/org/bluez/hci1"}), "/org/bluez/hci1");
}

TEST(BluezProps, AttributesAreListedInHandleOrder) {
  // Dictionary order would put service0100 before service00ff and service000a after service0009.
  ManagedObjects objects;
  const std::string dev = "/org/bluez/hci0/dev_C0_FF_EE_01_02_0A";
  for (const char* s : {"/service0100", "/service000a", "/service0009", "/service00ff"}) {
    objects[sdbus::ObjectPath(dev + s)]["org.bluez.GattService1"] = {
        {"UUID", sdbus::Variant(std::string("0000fff0-0000-1000-8000-00805f9b34fb"))},
        {"Device", sdbus::Variant(sdbus::ObjectPath(dev))}};
  }
  auto snap = parse_managed_objects(objects);
  std::vector<std::string> order;
  for (const auto& s : snap.services) order.push_back(s.path.substr(dev.size()));
  EXPECT_THAT(order, ::testing::ElementsAre("/service0009", "/service000a", "/service00ff", "/service0100"));
  EXPECT_EQ(snap.services[0].device, dev);
}

TEST(BluezProps, FlagsBecomePropertyBits) {
  EXPECT_EQ(flags_to_properties({"read", "write-without-response", "write", "notify"}), 0x1Eu);
  EXPECT_EQ(flags_to_properties({"indicate", "encrypt-read", "authorize", "reliable-write"}), 0x120u);
  EXPECT_EQ(flags_to_properties({"broadcast", "authenticated-signed-writes", "extended-properties",
                                 "writable-auxiliaries"}),
            0x2C1u);
}

TEST(BluezProps, MergedPropertiesIgnoreWrongTypesAndDropInvalidatedKeys) {
  DeviceProps d;
  merge_device_props(d, {{"Address", sdbus::Variant(std::string("C0:FF:EE:01:02:0A"))},
                         {"RSSI", sdbus::Variant(int16_t{-60})},
                         {"Connected", sdbus::Variant(std::string("yes"))},
                         {"ManufacturerData", sdbus::Variant(std::map<uint16_t, sdbus::Variant>{
                                                  {0x004C, sdbus::Variant(std::vector<uint8_t>{1})},
                                                  {0xFFFF, sdbus::Variant(std::vector<uint8_t>{2})}})}});
  EXPECT_EQ(d.rssi, -60);
  EXPECT_EQ(d.connected, std::nullopt);
  EXPECT_EQ(d.company_ids, (std::vector<uint16_t>{0x004C, 0xFFFF}));
  merge_device_props(d, {{"Connected", sdbus::Variant(true)}});
  invalidate_device_props(d, {"RSSI"});
  EXPECT_EQ(d.rssi, std::nullopt);
  EXPECT_EQ(d.connected, true);
  EXPECT_EQ(d.address, "C0:FF:EE:01:02:0A");

  EXPECT_TRUE(has_advertising_key({{"RSSI", sdbus::Variant(int16_t{-1})}}));
  EXPECT_TRUE(has_advertising_key({{"ManufacturerData", sdbus::Variant(std::map<uint16_t, sdbus::Variant>{})}}));
  EXPECT_FALSE(has_advertising_key({{"Connected", sdbus::Variant(true)}, {"Alias", sdbus::Variant(std::string("x"))}}));
}

TEST(BluezProps, FriendlyNamesAndPairedListing) {
  auto device = [](std::string address, std::optional<std::string> alias, std::optional<std::string> name,
                   bool paired, bool bonded) {
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
