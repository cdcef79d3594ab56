// Friendly names of present paired devices, keyed by the compact address. Chairs that leave
// their name out of the advertisement are still recognised by the name the system paired
// them under. Where the names come from is the platform's business (BlueZ's paired devices;
// on Windows a listing of the Plug and Play tree).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ble/platform/platform.h"
#include "common/seeded_hash.h"

namespace chair::paired {

using PairedNameMap = std::unordered_map<std::string, std::string, SeededHash>;

class PairedNames {
 public:
  explicit PairedNames(ble::PlatformPtr platform);

  // Obtains a fresh listing on a thread of its own and replaces the cache whole; a failed
  // listing leaves it as it was. Never fails towards the caller.
  void refresh();
  // The same on the calling thread (start-up, tests).
  void refresh_now();
  // The name for this address (any form: separators and letter case do not matter); "" when
  // none.
  std::string lookup(std::string_view address) const;

 private:
  // Shared with the listing threads, which may outlive this object.
  struct Cache {
    ble::PlatformPtr platform;
    std::mutex mutex;
    PairedNameMap names;
  };
  static void refresh_cache(Cache& cache);
  std::shared_ptr<Cache> cache_;
};

}  // namespace chair::paired
