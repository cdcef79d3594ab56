#include "ble/winrt/pnp_listing.h"

#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "common/hex.h"
#include "common/text.h"
#include "sys/process.h"

namespace chair::ble::winrt {
namespace {

// Present Bluetooth LE devices of the Plug and Play tree, as compact JSON: one object
// for a single device, an array for several, nothing at all for none.
constexpr const char* kListingScript =
    "$d = Get-PnpDevice -PresentOnly -ErrorAction SilentlyContinue | Where-Object { "
    "$_.InstanceId -like 'BTHLE*' } | ForEach-Object { [pscustomobject]@{ id = $_.InstanceId; "
    "name = $_.FriendlyName } }; $d | ConvertTo-Json -Compress";

constexpr int kMaxJsonDepth = 128;
constexpr size_t kAddressDigits = 12;

// The instance identifier carries the address after "DEV_" (BTHLE\DEV_C0FFEE01020A\...).
std::optional<std::string> key_from_instance_id(std::string_view id) {
  std::string upper = to_upper_ascii(id);
  size_t marker = upper.find("DEV_");
  if (marker == std::string::npos) return std::nullopt;
  size_t start = marker + 4;
  size_t end = start;
  while (end < upper.size() && end - start < kAddressDigits && is_hex_digit(upper[end])) ++end;
  if (end - start < kAddressDigits) return std::nullopt;
  return upper.substr(start, kAddressDigits);
}

void add_item(const nlohmann::json& item, PairedNames& names) {
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

std::optional<PairedNames> parse_pnp_output(std::string_view output) {
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

  PairedNames names;
  if (doc.is_array()) {
    for (const auto& item : doc) add_item(item, names);
  } else if (doc.is_object()) {
    add_item(doc, names);
  }
  return names;
}

Result<PairedNames> list_pnp_devices() {
  // A hung PowerShell is given up after the runner's time bound.
  auto output = sys::run_process("powershell", {"-NoProfile", "-NonInteractive", "-Command", kListingScript});
  if (!output) return output.take_error();
  auto names = parse_pnp_output(*output);
  if (!names) return fail("the Plug and Play listing gave no JSON");
  return std::move(*names);
}

}  // namespace chair::ble::winrt
