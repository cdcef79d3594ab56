// The binding's JSON: a strict reader for bind.json and the import and init bodies, and
// the one writer of the record.
#include "bind/binding_file.h"

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/record_text.h"

namespace chair::bind {

namespace {

using json = nlohmann::json;

// Deeper documents are refused before they are built, so no reader ever recurses far.
constexpr size_t kMaxDepth = 128;

// What a document holds: a whole binding, or the initial settings alone.
enum class Document { Binding, Init };

// Builds the document tree while refusing what the stock reader lets through: a repeated
// member of a record (it would keep one silently) and nesting beyond the limit (checked
// before the container is created, so a hostile "[[[[..." costs nothing). The records are
// the document's own object and, in a binding, its init; what an unknown member holds is
// skipped unread, so a name repeated in there harms nothing.
class StrictTreeBuilder {
 public:
  StrictTreeBuilder(json& root, Document kind) : root_(root), kind_(kind) {}

  bool null() { return put(json(nullptr)) != nullptr; }
  bool boolean(bool v) { return put(json(v)) != nullptr; }
  bool number_integer(json::number_integer_t v) { return put(json(v)) != nullptr; }
  bool number_unsigned(json::number_unsigned_t v) { return put(json(v)) != nullptr; }
  bool number_float(json::number_float_t v, const json::string_t&) { return put(json(v)) != nullptr; }
  bool string(json::string_t& v) { return put(json(std::move(v))) != nullptr; }
  bool binary(json::binary_t&) { return refuse("binary values are not allowed"); }

  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& name) {
    if (records_.back() && stack_.back()->contains(name)) return refuse("duplicate member \"" + name + "\"");
    key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) { return refuse(ex.what()); }

  const std::string& error() const { return error_; }

 private:
  // Pointers on the stack stay valid: an open container is always the newest child of
  // its parent, and a parent array only grows after that child has been closed.
  json* put(json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    json& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    return &(parent[std::move(key_)] = std::move(value));
  }

  // Whether a container about to be opened is one of the document's records.
  bool is_record(const json& container) const {
    if (!container.is_object()) return false;
    if (stack_.empty()) return true;
    if (kind_ != Document::Binding || stack_.size() != 1) return false;
    // The binding's init: by name in the object form, the fourth element in the array form.
    const json& parent = *stack_.back();
    return parent.is_object() ? key_ == "init" : parent.size() == 3;
  }

  bool open(json container) {
    if (stack_.size() >= kMaxDepth) return refuse("nesting deeper than 128 levels");
    const bool record = is_record(container);
    stack_.push_back(put(std::move(container)));
    records_.push_back(record);
    return true;
  }

  bool close() {
    stack_.pop_back();
    records_.pop_back();
    return true;
  }

  bool refuse(std::string text) {
    if (error_.empty()) error_ = std::move(text);
    return false;
  }

  json& root_;
  const Document kind_;
  std::vector<json*> stack_;
  std::vector<bool> records_;  // beside stack_: whether that container is a record
  std::string key_;
  std::string error_;
};

Result<json> parse_document(std::string_view text, Document kind) {
  // The stock reader skips a leading byte-order mark and takes a NUL byte for the end of
  // the input; both would let through text that is not one clean JSON value.
  if (text.starts_with("\xEF\xBB\xBF")) return fail("a byte-order mark is not allowed");
  if (text.find('\0') != std::string_view::npos) return fail("NUL byte in JSON text");

  json root;
  StrictTreeBuilder builder(root, kind);
  bool ok = false;
  try {
    ok = json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  if (!ok) return fail(builder.error().empty() ? "invalid JSON" : builder.error());
  return root;
}

Result<std::string> read_text(const json& v, std::string_view name) {
  if (!v.is_string()) return fail(std::string(name) + " must be a string");
  return v.get<std::string>();
}

Result<bool> read_flag(const json& v, std::string_view name) {
  if (!v.is_boolean()) return fail(std::string(name) + " must be a boolean");
  return v.get<bool>();
}

Result<int32_t> read_i32(const json& v, std::string_view name) {
  constexpr int64_t lo = std::numeric_limits<int32_t>::min();
  constexpr int64_t hi = std::numeric_limits<int32_t>::max();
  // Non-negative numbers arrive unsigned, negative ones signed; floats never pass.
  if (v.is_number_unsigned()) {
    auto u = v.get<uint64_t>();
    if (u <= static_cast<uint64_t>(hi)) return static_cast<int32_t>(u);
  } else if (v.is_number_integer()) {
    auto s = v.get<int64_t>();
    if (s >= lo && s <= hi) return static_cast<int32_t>(s);
  }
  return fail(std::string(name) + " must be a 32-bit integer");
}

// A record arrives as an object with named members or as an array by position; either
// way each field ends up with its value, or nothing when it is missing.
template <size_t N>
Result<std::array<const json*, N>> gather_fields(const json& v, const std::array<std::string_view, N>& names,
                                                 const char* what) {
  std::array<const json*, N> slots{};
  if (v.is_object()) {
    for (size_t i = 0; i < N; ++i) {
      auto it = v.find(names[i]);
      if (it != v.end()) slots[i] = &*it;
    }
  } else if (v.is_array()) {
    if (v.size() > N) {
      return fail(std::string(what) + " has more than " + std::to_string(N) + " elements");
    }
    for (size_t i = 0; i < v.size(); ++i) slots[i] = &v[i];
  } else {
    return fail(std::string(what) + " must be an object or an array");
  }
  return slots;
}

// The members in their declared order: the order the record is written in, and the order
// the array form is read by.
constexpr std::array<std::string_view, 6> kInitFields = {"water",  "coolLevel", "heatLevel",
                                                         "lumbar", "vibrate",   "volume"};
constexpr std::array<std::string_view, 4> kBindFields = {"boundAddress", "boundName", "autoConnect", "init"};
constexpr RecordShape kInitShape{kInitFields};
constexpr RecordShape kBindingShape{kBindFields, "init", &kInitShape};

Result<InitConfig> read_init(const json& v) {
  auto slots = gather_fields(v, kInitFields, "init");
  if (!slots) return slots.take_error();
  const auto& s = *slots;
  if (s[0] == nullptr) return fail("init lacks water");

  InitConfig out;
  auto water = read_text(*s[0], "water");
  if (!water) return water.take_error();
  out.water = std::move(*water);

  // Levels missing from a stored record read as 0, not as the fresh defaults.
  int32_t* levels[] = {&out.coolLevel, &out.heatLevel, &out.lumbar, &out.vibrate, &out.volume};
  for (size_t i = 0; i < 5; ++i) {
    *levels[i] = 0;
    if (s[i + 1] == nullptr) continue;
    auto level = read_i32(*s[i + 1], kInitFields[i + 1]);
    if (!level) return level.take_error();
    *levels[i] = *level;
  }
  return out;
}

Result<BindConfig> read_binding(const json& v) {
  auto slots = gather_fields(v, kBindFields, "binding");
  if (!slots) return slots.take_error();
  const auto& s = *slots;

  BindConfig out;
  out.autoConnect = false;  // a stored record without the flag does not connect by itself
  if (s[0]) {
    auto address = read_text(*s[0], "boundAddress");
    if (!address) return address.take_error();
    out.boundAddress = std::move(*address);
  }
  if (s[1]) {
    auto name = read_text(*s[1], "boundName");
    if (!name) return name.take_error();
    out.boundName = std::move(*name);
  }
  if (s[2]) {
    auto flag = read_flag(*s[2], "autoConnect");
    if (!flag) return flag.take_error();
    out.autoConnect = *flag;
  }
  if (s[3]) {
    auto init = read_init(*s[3]);
    if (!init) return init.take_error();
    out.init = std::move(*init);
  }
  return out;
}

}  // namespace

Result<BindConfig> parse_binding(std::string_view text) {
  auto doc = parse_document(text, Document::Binding);
  if (!doc) return doc.take_error();
  return read_binding(*doc);
}

Result<BindConfig> parse_stored_binding(std::string_view text) {
  auto parsed = parse_binding(text);
  if (parsed && parsed->init.water.empty()) parsed->init = InitConfig{};
  return parsed;
}

Result<InitConfig> parse_init_config(std::string_view text) {
  auto doc = parse_document(text, Document::Init);
  if (!doc) return doc.take_error();
  return read_init(*doc);
}

nlohmann::json binding_json(const BindConfig& config) {
  const InitConfig& init = config.init;
  return json{
      {"boundAddress", config.boundAddress},
      {"boundName", config.boundName},
      {"autoConnect", config.autoConnect},
      {"init",
       {{"water", init.water},
        {"coolLevel", init.coolLevel},
        {"heatLevel", init.heatLevel},
        {"lumbar", init.lumbar},
        {"vibrate", init.vibrate},
        {"volume", init.volume}}},
  };
}

std::string binding_text(const nlohmann::json& record, JsonLayout layout) {
  return record_text(record, kBindingShape, layout);
}

std::string binding_text(const BindConfig& config, JsonLayout layout) {
  return binding_text(binding_json(config), layout);
}

std::string binding_file_text(const BindConfig& config) { return binding_text(config, kFileLayout); }

}  // namespace chair::bind
