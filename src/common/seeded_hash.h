// Hashing with a per-map random seed, so nothing can come to rely on iteration order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>

namespace chair {

// Each map's seed comes from a sequence of this thread, which asks the system for randomness
// once: asking it per map cost more than a whole HTTP request (a request builds its query map)
// because the processor query behind it is slow under virtualisation.
inline uint64_t next_hash_seed() {
  thread_local uint64_t state = std::random_device{}();
  // splitmix64: distinct, well-mixed seeds from one random start.
  uint64_t z = state += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

struct SeededHash {
  size_t seed = static_cast<size_t>(next_hash_seed());
  size_t operator()(const std::string& s) const {
    return std::hash<std::string>{}(s) ^ (seed + 0x9e3779b97f4a7c15ULL + (seed << 6));
  }
  template <class T>
  size_t operator()(const T& v) const {
    return std::hash<T>{}(v) ^ (seed + 0x9e3779b97f4a7c15ULL + (seed << 6));
  }
};

}  // namespace chair
