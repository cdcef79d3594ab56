// The remembered chair and the settings applied to it after every connection.
#pragma once

#include <string>

#include "ble/protocol/settings.h"

namespace chair::bind {

using InitConfig = ble::InitConfig;

struct BindConfig {
  std::string boundAddress;
  std::string boundName;
  bool autoConnect = true;
  InitConfig init;

  bool operator==(const BindConfig&) const = default;
};

}  // namespace chair::bind
