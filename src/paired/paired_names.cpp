// Friendly names of present paired devices, from the platform or from a PowerShell listing.
#include "paired/paired_names.h"

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "common/address.h"
#include "common/text.h"
#include "sys/process.h"
#include "sys/thread.h"

namespace chair::paired {
namespace {

// Present Bluetooth LE devices of the Plug and Play tree, as compact JSON: one object
// for a single device, an array for several, nothing at all for none.
constexpr const char* kListingScript =
    "$d = Get-PnpDevice -PresentOnly -ErrorAction SilentlyContinue | Where-Object { "
    "$_.InstanceId -like 'BTHLE*' } | ForEach-Object { [pscustomobject]@{ id = $_.InstanceId; "
    "name = $_.FriendlyName } }; $d | ConvertTo-Json -Compress";

constexpr int kMaxJsonDepth = 128;
constexpr size_t kAddressDigits = 12;

bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The instance identifier carries the address after "DEV_" (BTHLE\DEV_C0FFEE01020A\...).
std::optional<std::string> key_from_instance_id(std::string_view id) {
  std::string upper = to_upper_ascii(id);
  size_t marker = upper.find("DEV_");
  if (marker == std::string::npos) return std::nullopt;
  size_t start = marker + 4;
  size_t end = start;
  while (end < upper.size() && end - start < kAddressDigits && is_upper_hex(upper[end])) ++end;
  if (end - start < kAddressDigits) return std::nullopt;
  return upper.substr(start, kAddressDigits);
}

void add_item(const nlohmann::json& item, PairedNameMap& names) {
  if (!item.is_object()) return;
  auto id = item.find("id");
  if (id == item.end() || !id->is_string()) return;
  auto name_member = item.find("name");
  std::string_view name;
  if (name_member != item.end() && name_member->is_string()) name = name_member->get_ref<const std::string&>();
  name = trim_unicode(name);
  if (name.empty()) return;
  auto key = key_from_instance_id(id->get_ref<const std::string&>());
  if (!key) return;
  names.insert_or_assign(std::move(*key), std::string(name));
}

}  // namespace

std::optional<PairedNameMap> parse_pnp_output(std::string_view output) {
  std::string text = sanitize_utf8(output);
  std::string_view trimmed = trim_unicode(text);
  if (trimmed.empty()) return std::nullopt;

  bool too_deep = false;
  auto depth_guard = [&too_deep](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    if ((event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start) &&
        depth >= kMaxJsonDepth) {
      too_deep = true;
      return false;  // drop the subtree instead of building it
    }
    return true;
  };
  nlohmann::json doc = nlohmann::json::parse(trimmed.begin(), trimmed.end(), depth_guard,
                                             /*allow_exceptions=*/false);
  if (doc.is_discarded() || too_deep) return std::nullopt;

  PairedNameMap names;
  if (doc.is_array()) {
    for (const auto& item : doc) add_item(item, names);
  } else if (doc.is_object()) {
    add_item(doc, names);
  }
  return names;
}

PairedNames::PairedNames(ble::PlatformPtr platform) : cache_(std::make_shared<Cache>()) {
  cache_->platform = std::move(platform);
}

void PairedNames::refresh_cache(Cache& cache) {
  try {
    std::optional<PairedNameMap> fresh;
    auto from_platform = cache.platform ? cache.platform->paired_device_names() : std::nullopt;
    if (from_platform) {
      if (!from_platform->ok()) return;
      fresh.emplace(from_platform->value().begin(), from_platform->value().end());
    } else {
      // A hung or failed PowerShell is given up after the runner's time bound and leaves
      // the names of the previous listing in place.
      auto output = sys::run_process("powershell", {"-NoProfile", "-NonInteractive", "-Command", kListingScript});
      if (!output.ok()) return;
      fresh = parse_pnp_output(*output);
      if (!fresh) return;
    }
    {
      std::lock_guard lock(cache.mutex);
      std::swap(cache.names, *fresh);
    }
    // The previous map is released here, outside the lock.
  } catch (...) {
    // A listing is best effort; nothing may escape a thread body.
  }
}

void PairedNames::refresh() {
  // Without a thread there is simply no listing this time; the next scan start retries.
  (void)sys::spawn_detached([cache = cache_] { refresh_cache(*cache); });
}

void PairedNames::refresh_now() { refresh_cache(*cache_); }

std::string PairedNames::lookup(std::string_view address) const {
  const std::string key = compact_address(address);
  std::lock_guard lock(cache_->mutex);
  auto it = cache_->names.find(key);
  return it == cache_->names.end() ? std::string() : it->second;
}

}  // namespace chair::paired
