// Friendly names of present paired devices, keyed by the compact address.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/result.h"
#include "common/seeded_hash.h"

namespace chair {
struct ServiceState;
}

namespace chair::pnp {

using PairedNameMap = std::unordered_map<std::string, std::string, SeededHash>;

struct PairedNameCache {
  std::mutex mutex;
  PairedNameMap names;
};

// Every ":" removed, the rest upper case (no other validation).
std::string normalize_address(std::string_view address);
std::string lookup_paired_name(ServiceState& state, std::string_view address);

// Reads the JSON listing of present devices. nullopt when the output is empty or not
// one JSON value: the cache is then left as it is. A listing without usable items
// gives an empty map.
std::optional<PairedNameMap> parse_pnp_output(std::string_view output);

// Thread body: obtains the listing and replaces the cache whole; silent on failure.
void list_paired_devices(std::shared_ptr<ServiceState> state);
// Starts list_paired_devices on a new detached thread.
void start_paired_listing(const std::shared_ptr<ServiceState>& state);

}  // namespace chair::pnp
