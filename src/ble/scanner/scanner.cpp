// Advertisement scanner: records advertising chairs in the device table and tells the layer
// above about every advertisement it accepts.
#include "ble/scanner/scanner.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "common/address.h"
#include "common/text.h"

namespace chair::ble {

namespace {

constexpr std::string_view kProductWord = "TAMRO";
constexpr std::string_view kBaseUuidTail = "-0000-1000-8000-00805f9b34fb";

}  // namespace

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

Scanner::Scanner(PlatformPtr platform, ScanEvents& events, std::function<std::string(const std::string&)> paired_name)
    : platform_(std::move(platform)), events_(events), paired_name_(std::move(paired_name)) {}

Scanner::~Scanner() { stop(); }

void Scanner::begin() {
  std::unique_ptr<Scan> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(scan_);
    scanning_ = true;
    ++begun_;
    entries_.clear();
  }
  // Stopped outside the lock: its last callbacks may still be waiting for it.
  if (previous) previous->stop();
}

Status Scanner::start() {
  uint64_t mine;
  {
    std::lock_guard lock(mutex_);
    mine = begun_;
  }
  auto started = platform_->start_scan([this](const Advertisement& advertisement) {
    try {
      on_advertisement(advertisement);
    } catch (...) {
      // A platform thread must never see an exception; the advertisement is lost.
    }
  });
  if (!started) {
    std::lock_guard lock(mutex_);
    if (begun_ == mine) scanning_ = false;
    return started.take_error();
  }
  // A scan that is not kept is stopped, since it would go on delivering unseen: a stop or a
  // newer start overtook this one while the platform started it.
  std::unique_ptr<Scan> unused = std::move(started.value());
  {
    std::lock_guard lock(mutex_);
    if (scanning_ && begun_ == mine) std::swap(unused, scan_);
  }
  if (unused) unused->stop();
  return {};
}

void Scanner::stop() {
  std::unique_ptr<Scan> scan;
  {
    std::lock_guard lock(mutex_);
    scan = std::move(scan_);
    scanning_ = false;
  }
  if (scan) scan->stop();
}

bool Scanner::scanning() const {
  std::lock_guard lock(mutex_);
  return scanning_;
}

std::vector<DeviceRecord> Scanner::devices() const {
  std::lock_guard lock(mutex_);
  std::vector<DeviceRecord> out;
  out.reserve(entries_.size());
  for (const auto& [address, record] : entries_) out.push_back(record);
  return out;
}

std::string Scanner::recorded_name(std::string_view address) const {
  // Any letter case, with or without the colons; other separators do not name a record.
  const std::string compact = compact_address(address);
  if (compact.size() != 12) return {};
  auto value = address_from_hex_digits(compact);
  if (!value) return {};
  const std::string key = format_address(*value);
  std::lock_guard lock(mutex_);
  auto it = entries_.find(key);
  return it == entries_.end() ? std::string() : it->second.name;
}

void Scanner::on_advertisement(const Advertisement& advertisement) {
  if (advertisement.address == 0) return;
  const std::string address = format_address(advertisement.address);
  const int16_t rssi = advertisement.rssi.value_or(0);

  // Names go out in JSON; a name that is not valid UTF-8 would make every later device
  // listing unwritable, so broken sequences become U+FFFD here.
  std::optional<std::string> advertised;
  if (advertisement.local_name && !advertisement.local_name->empty())
    advertised = sanitize_utf8(*advertisement.local_name);

  // The paired-name lookup takes its own lock, never together with the table lock.
  std::string paired;
  if (!advertised && paired_name_) paired = sanitize_utf8(paired_name_(address));
  if (!is_chair_name(advertised ? *advertised : paired)) return;

  std::vector<std::string> services;
  services.reserve(advertisement.service_uuids.size());
  for (const Uuid& uuid : advertisement.service_uuids) services.push_back(short_uuid(uuid));

  DeviceRecord copy;
  {
    std::lock_guard lock(mutex_);
    // A run that passed the filter just before the scan stopped must not record anything.
    if (!scanning_) return;
    auto [it, created] = entries_.try_emplace(address);
    DeviceRecord& record = it->second;
    if (created) record.address = address;
    if (advertised)
      record.name = *advertised;
    else if (record.name.empty() && !paired.empty())
      record.name = paired;
    record.rssi = rssi;
    record.hits += 1;
    for (std::string& s : services)
      if (std::find(record.services.begin(), record.services.end(), s) == record.services.end())
        record.services.push_back(std::move(s));
    for (uint16_t v : advertisement.company_ids)
      if (std::find(record.vendors.begin(), record.vendors.end(), v) == record.vendors.end())
        record.vendors.push_back(v);
    copy = record;
  }
  events_.on_device(std::move(copy));
}

}  // namespace chair::ble
