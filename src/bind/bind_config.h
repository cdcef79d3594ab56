// The remembered chair and the settings applied to it after every connection.
#pragma once

#include <cstdint>
#include <string>

namespace chair::bind {

struct InitConfig {
  std::string water = "cool";  // "off", "heat", anything else cools
  int32_t coolLevel = 10;
  int32_t heatLevel = 6;
  int32_t lumbar = 3;
  int32_t vibrate = 0;
  int32_t volume = 0;

  bool operator==(const InitConfig&) const = default;
};

struct BindConfig {
  std::string boundAddress;
  std::string boundName;
  bool autoConnect = true;
  InitConfig init;

  bool operator==(const BindConfig&) const = default;
};

}  // namespace chair::bind
