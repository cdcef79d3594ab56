// One writer for the records the service keeps and sends (the binding, a device): the same
// tree, written in the record's own member order or in ascending order, on one line or
// indented, as the place that shows it needs.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace chair {

enum class KeyOrder {
  Declared,   // the record's members in their own order, then any others in ascending order
  Ascending,  // byte order of the names at every level: the order of every reply body
};

struct JsonLayout {
  KeyOrder order = KeyOrder::Declared;
  int indent = -1;  // spaces per level; -1 writes one line without any white space
};

// A stored file (bind.json, an export of it): declared order, two spaces per level.
inline constexpr JsonLayout kFileLayout{KeyOrder::Declared, 2};
// A record inside an event: declared order, one line.
inline constexpr JsonLayout kEventLayout{KeyOrder::Declared, -1};
// A reply body, as http::Reply::json writes the tree it is given.
inline constexpr JsonLayout kReplyLayout{KeyOrder::Ascending, -1};

// A record's declared member order; `inner` orders the member named `inner_name`, itself a
// record.
struct RecordShape {
  std::span<const std::string_view> members;
  std::string_view inner_name{};
  const RecordShape* inner = nullptr;
};

// Never throws: invalid UTF-8 in a text is replaced with U+FFFD, and a tree that cannot be
// written gives "{}". A tree that is not an object has no members of its own: "{}".
std::string record_text(const nlohmann::json& record, const RecordShape& shape, JsonLayout layout);

}  // namespace chair
