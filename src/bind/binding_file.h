// The binding's JSON: the strict reader of bind.json and of the import and init bodies, and
// the one writer of the record wherever it is shown (bind.json, events, replies, exports).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "bind/bind_config.h"
#include "common/record_text.h"
#include "common/result.h"

namespace chair::bind {

// Largest bind.json read at start-up; a larger file counts as unreadable.
inline constexpr size_t kMaxBindingFileBytes = 1024 * 1024;

Result<BindConfig> parse_binding(std::string_view json);
Result<InitConfig> parse_init_config(std::string_view json);
// A binding as the service takes it in (bind.json at start-up, an import): parse_binding,
// and a record without a water mode carries no usable settings, so the fresh ones take
// their place.
Result<BindConfig> parse_stored_binding(std::string_view json);

// The record as a tree; a reply sends it as it is (its members then in ascending order).
nlohmann::json binding_json(const BindConfig& config);
// The record's text in the given layout. A tree from elsewhere (a reply being exported) may
// hold members this build does not know; they follow the known ones.
std::string binding_text(const nlohmann::json& record, JsonLayout layout);
std::string binding_text(const BindConfig& config, JsonLayout layout);
// The exact text of bind.json.
std::string binding_file_text(const BindConfig& config);

}  // namespace chair::bind
