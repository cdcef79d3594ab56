#include "paired/paired_names.h"

#include <utility>

#include "common/address.h"
#include "sys/thread.h"

namespace chair::paired {

PairedNames::PairedNames(ble::PlatformPtr platform) : cache_(std::make_shared<Cache>()) {
  cache_->platform = std::move(platform);
}

void PairedNames::refresh_cache(Cache& cache) {
  try {
    if (!cache.platform) return;
    // A listing that failed (or hung, and was given up) leaves the names of the previous one
    // in place.
    auto listed = cache.platform->paired_device_names();
    if (!listed) return;
    PairedNameMap fresh(listed->begin(), listed->end());
    {
      std::lock_guard lock(cache.mutex);
      std::swap(cache.names, fresh);
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
