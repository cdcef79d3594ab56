// The binding store: the remembered chair, kept in memory and mirrored to bind.json.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "bind/bind_config.h"
#include "common/result.h"

namespace chair {
struct ServiceState;
}

namespace chair::bind {

std::filesystem::path data_file_path();

// Start-up: defaults, then the file when it reads and parses. Silent on failure.
void load_binding(ServiceState& state);
BindConfig binding_snapshot(ServiceState& state);
// Swaps the in-memory copy, then writes the file; returns the OS error text on failure.
Status save_binding(ServiceState& state, const BindConfig& config);
void publish_binding(ServiceState& state);

Result<BindConfig> parse_binding(std::string_view json);
Result<InitConfig> parse_init_config(std::string_view json);
// The exact indented file text.
std::string binding_file_text(const BindConfig& config);

}  // namespace chair::bind
