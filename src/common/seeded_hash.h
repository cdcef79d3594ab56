// Hashing with a per-map random seed, so nothing can come to rely on iteration order.
#pragma once

#include <cstddef>
#include <functional>
#include <random>
#include <string>

namespace chair {

struct SeededHash {
  size_t seed = std::random_device{}();
  size_t operator()(const std::string& s) const {
    return std::hash<std::string>{}(s) ^ (seed + 0x9e3779b97f4a7c15ULL + (seed << 6));
  }
  template <class T>
  size_t operator()(const T& v) const {
    return std::hash<T>{}(v) ^ (seed + 0x9e3779b97f4a7c15ULL + (seed << 6));
  }
};

}  // namespace chair
