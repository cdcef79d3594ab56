#include "common/record_text.h"

namespace chair {

namespace {

using ordered = nlohmann::ordered_json;

ordered in_declared_order(const nlohmann::json& from, const RecordShape& shape) {
  ordered to = ordered::object();
  if (!from.is_object()) return to;
  for (std::string_view name : shape.members) {
    if (auto it = from.find(name); it != from.end()) to[std::string(name)] = *it;
  }
  // A member this build does not know (a newer service's) is kept, after the known ones.
  for (auto it = from.begin(); it != from.end(); ++it) {
    if (!to.contains(it.key())) to[it.key()] = it.value();
  }
  if (shape.inner != nullptr) {
    if (auto it = from.find(shape.inner_name); it != from.end() && it->is_object())
      to[std::string(shape.inner_name)] = in_declared_order(*it, *shape.inner);
  }
  return to;
}

template <class Tree>
std::string dump(const Tree& tree, int indent) {
  try {
    return tree.dump(indent, ' ', false, Tree::error_handler_t::replace);
  } catch (...) {
    return "{}";
  }
}

}  // namespace

std::string record_text(const nlohmann::json& record, const RecordShape& shape, JsonLayout layout) {
  if (!record.is_object()) return "{}";
  if (layout.order == KeyOrder::Ascending) return dump(record, layout.indent);
  try {
    return dump(in_declared_order(record, shape), layout.indent);
  } catch (...) {
    return "{}";
  }
}

}  // namespace chair
