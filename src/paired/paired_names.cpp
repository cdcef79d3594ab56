// Friendly names of present paired devices. Chairs that leave their name out of the
// advertisement are still recognised by the name the system paired them under.
#include "pnp/paired_names.h"

#include <exception>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "common/text.h"
#include "main/service_state.h"
#include "sys/process.h"
#include "sys/thread.h"

namespace chair::pnp {
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
  if (name_member != item.end() && name_member->is_string())
    name = name_member->get_ref<const std::string&>();
  name = trim_unicode(name);
  if (name.empty()) return;
  auto key = key_from_instance_id(id->get_ref<const std::string&>());
  if (!key) return;
  names.insert_or_assign(std::move(*key), std::string(name));
}

}  // namespace

std::string normalize_address(std::string_view address) {
  std::string out;
  out.reserve(address.size());
  for (char c : address)
    if (c != ':') out.push_back(c);
  return to_upper_ascii(out);
}

std::string lookup_paired_name(ServiceState& state, std::string_view address) {
  std::string key = normalize_address(address);
  std::lock_guard lock(state.paired.mutex);
  auto it = state.paired.names.find(key);
  return it == state.paired.names.end() ? std::string() : it->second;
}

std::optional<PairedNameMap> parse_pnp_output(std::string_view output) {
  std::string text = sanitize_utf8(output);
  std::string_view trimmed = trim_unicode(text);
  if (trimmed.empty()) return std::nullopt;

  bool too_deep = false;
  auto depth_guard = [&too_deep](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    if ((event == nlohmann::json::parse_event_t::object_start ||
         event == nlohmann::json::parse_event_t::array_start) &&
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

void list_paired_devices(std::shared_ptr<ServiceState> state) {
  if (!state) return;
  try {
    std::optional<PairedNameMap> fresh;
    auto& platform = state->platform;
    if (platform) platform->init_thread();
    auto from_platform = platform ? platform->paired_device_names() : std::nullopt;
    if (from_platform) {
      if (!from_platform->ok()) return;
      fresh.emplace(from_platform->value().begin(), from_platform->value().end());
    } else {
      // A hung or failed PowerShell is given up after the runner's time bound and
      // leaves the names of the previous listing in place.
      auto output = sys::run_process("powershell",
                                     {"-NoProfile", "-NonInteractive", "-Command", kListingScript});
      if (!output.ok()) return;
      fresh = parse_pnp_output(*output);
      if (!fresh) return;
    }
    PairedNameMap old;
    {
      std::lock_guard lock(state->paired.mutex);
      old = std::exchange(state->paired.names, std::move(*fresh));
    }
    // The previous map is released here, outside the lock.
  } catch (...) {
    // A listing is best effort; nothing may escape a thread body.
  }
}

void start_paired_listing(const std::shared_ptr<ServiceState>& state) {
  // Without a thread there is simply no listing this time; the next scan start retries.
  try {
    sys::spawn_detached([state] { list_paired_devices(state); });
  } catch (...) {
  }
}

}  // namespace chair::pnp
