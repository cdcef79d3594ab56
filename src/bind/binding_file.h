// The binding's JSON: the strict reader of bind.json and of the import and init bodies, and
// the exact text a save writes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bind/bind_config.h"
#include "common/result.h"

namespace chair::bind {

// Largest bind.json read at start-up; a larger file counts as unreadable.
inline constexpr size_t kMaxBindingFileBytes = 1024 * 1024;

Result<BindConfig> parse_binding(std::string_view json);
Result<InitConfig> parse_init_config(std::string_view json);
// The exact indented file text.
std::string binding_file_text(const BindConfig& config);

}  // namespace chair::bind
