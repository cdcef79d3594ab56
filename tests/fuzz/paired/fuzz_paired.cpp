// Feeds arbitrary bytes to the reader of the paired-device listing. Every name it keeps
// is keyed by a compact address of twelve upper-case hexadecimal digits, and is clean,
// trimmed, non-empty UTF-8.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "ble/winrt/pnp_listing.h"
#include "common/address.h"
#include "common/text.h"

namespace {

using namespace chair;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool is_compact_address(std::string_view key) {
  if (key.size() != 12) return false;
  for (char c : key) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const auto names = ble::winrt::parse_pnp_output(output);
  if (!names) return 0;
  for (const auto& [key, name] : *names) {
    check(is_compact_address(key), "key is 12 upper-case hex digits");
    check(compact_address(key) == key, "key is already compact");
    check(!name.empty(), "name non-empty");
    check(is_valid_utf8(name), "name is UTF-8");
    check(trim_unicode(name) == name, "name trimmed");
  }
  return 0;
}
