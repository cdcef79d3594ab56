// Advertisement scanner: records advertising chairs in the device table and tells the
// clients about every advertisement it accepts.
#include "ble/scanner.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

#include "common/text.h"
#include "main/service_state.h"
#include "pnp/paired_names.h"

namespace chair::ble {

namespace {

constexpr std::string_view kProductWord = "TAMRO";
constexpr std::string_view kBaseUuidTail = "-0000-1000-8000-00805f9b34fb";

}  // namespace

std::string format_address(uint64_t address) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X",
                static_cast<unsigned>(address >> 40 & 0xFF), static_cast<unsigned>(address >> 32 & 0xFF),
                static_cast<unsigned>(address >> 24 & 0xFF), static_cast<unsigned>(address >> 16 & 0xFF),
                static_cast<unsigned>(address >> 8 & 0xFF), static_cast<unsigned>(address & 0xFF));
  return buf;
}

std::string short_uuid(const Uuid& uuid) {
  std::string text = uuid.to_string();
  // Identifiers of the Bluetooth base range are shown by their 16-bit alias. Only the
  // tail is compared, so a 32-bit alias (1234abcd-...) is cut to its low half as well.
  if (text.ends_with(kBaseUuidTail)) return text.substr(4, 4);
  return text;
}

// The name passes when its full Unicode upper-case form starts with "TAMRO". Instead of
// upper-casing the whole name, the first five bytes are compared ASCII-case-insensitively,
// which gives the same answer for every name:
//
// Upper-casing works code point by code point (the only context rules of the standard
// mappings concern lower-casing and the Turkish and Lithuanian locales). The upper-case
// form starts with T only if the first code point maps to something starting with T;
// the code points whose full upper-case form starts with one of T, A, M, R, O are the
// ASCII letters themselves plus (found by a search over every code point of the
// Unicode 14 character data)
//   U+1E97 LATIN SMALL LETTER T WITH DIAERESIS      -> T U+0308
//   U+1E9A LATIN SMALL LETTER A WITH RIGHT HALF RING -> A U+02BE
// Each of the two expands to its letter followed by a mark, and a mark is never the next
// letter of the word, so neither can begin a match. (The well-known surprises, U+017F
// long s -> S, U+0131 dotless i -> I, the ligatures U+FB00..FB06 -> FF/FI/FL/FFI/FFL/ST,
// U+00DF -> SS and U+0149 -> U+02BC N, never produce T, A, M, R or O at a position that
// matters.) So a match needs five code points, each an ASCII letter of the word in either
// case; ASCII bytes never occur inside a multi-byte UTF-8 sequence, so bytes suffice.
bool is_chair_name(std::string_view name) {
  std::string_view rest = trim_unicode_start(name);
  if (rest.size() < kProductWord.size()) return false;
  return to_upper_ascii(rest.substr(0, kProductWord.size())) == kProductWord;
}

Result<std::shared_ptr<Watcher>> start_watcher(const std::shared_ptr<ServiceState>& state) {
  auto created = state->platform->create_watcher();
  if (!created) return created.take_error();
  std::shared_ptr<Watcher> watcher = std::move(created.value());
  if (!watcher) return fail("the platform returned no watcher");
  if (auto s = watcher->set_scanning_mode_active(); !s) return s.take_error();
  // The handler keeps the state alive for as long as the watcher holds it, that is until
  // the watcher is stopped and released.
  auto handler = [state](const std::shared_ptr<AdvertisementArgs>& args) {
    try {
      on_advertisement(*state, args);
    } catch (...) {
      // A platform thread must never see an exception; the advertisement is lost.
    }
  };
  if (auto s = watcher->add_received(std::move(handler)); !s) return s.take_error();
  if (auto s = watcher->start(); !s) return s.take_error();
  return watcher;
}

void stop_scanning(ServiceState& state) {
  std::shared_ptr<Watcher> watcher;
  {
    std::lock_guard lock(state.devices.mutex);
    watcher = std::move(state.devices.watcher);
    state.devices.watcher = nullptr;
  }
  if (watcher) {
    (void)watcher->stop();
    watcher.reset();
  }
  {
    std::lock_guard lock(state.devices.mutex);
    state.devices.scanning = false;
  }
  state.scanActive.exchange(false);
}

void on_advertisement(ServiceState& state, const std::shared_ptr<AdvertisementArgs>& args) {
  state.platform->init_thread();
  if (!args) return;

  auto address_value = args->bluetooth_address();
  if (!address_value || *address_value == 0) return;
  const std::string address = format_address(*address_value);

  auto rssi_read = args->raw_signal_strength();
  const int16_t rssi = rssi_read ? *rssi_read : int16_t{0};

  std::optional<std::string> advertised;
  std::vector<std::string> services;
  std::vector<uint16_t> vendors;
  if (auto payload = args->advertisement(); payload && *payload) {
    auto& p = **payload;
    // Names go out in JSON; a name that is not valid UTF-8 would make every later
    // device listing unwritable, so broken sequences become U+FFFD here.
    if (auto name = p.local_name(); name && !name->empty()) advertised = sanitize_utf8(*name);
    if (auto uuids = p.service_uuids(); uuids) {
      for (auto& u : *uuids)
        if (u) services.push_back(short_uuid(*u));
    }
    if (auto ids = p.company_ids(); ids) {
      for (auto& id : *ids)
        if (id) vendors.push_back(*id);
    }
  }

  // The paired-name lookup takes its own lock, never together with the table lock.
  std::string paired;
  if (!advertised) paired = sanitize_utf8(pnp::lookup_paired_name(state, address));
  if (!is_chair_name(advertised ? *advertised : paired)) return;

  DeviceRecord copy;
  {
    std::lock_guard lock(state.devices.mutex);
    // A run that passed the filter just before the scan stopped must not record anything.
    if (!state.devices.scanning) return;
    auto [it, created] = state.devices.entries.try_emplace(address);
    DeviceRecord& record = it->second;
    if (created) record.address = address;
    if (advertised)
      record.name = *advertised;
    else if (record.name.empty() && !paired.empty())
      record.name = paired;
    record.rssi = rssi;
    record.hits += 1;
    for (auto& s : services)
      if (std::find(record.services.begin(), record.services.end(), s) == record.services.end())
        record.services.push_back(s);
    for (auto v : vendors)
      if (std::find(record.vendors.begin(), record.vendors.end(), v) == record.vendors.end())
        record.vendors.push_back(v);
    copy = record;
  }
  state.events.publish(make_device_event(std::move(copy)));
}

}  // namespace chair::ble
