#include "bind/binding_store.h"

#ifdef _WIN32
#include <windows.h>

#include "sys/win_text.h"

#include <algorithm>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/text.h"
#include "main/events/event.h"
#include "main/service_state.h"

namespace chair::bind {

namespace {

using json = nlohmann::json;

constexpr const char* kFolderName = "TAMRO-GamingChair";
constexpr const char* kFileName = "bind.json";
// Deeper documents are refused before they are built, so no reader ever recurses far.
constexpr size_t kMaxDepth = 128;

// ---------------------------------------------------------------------------------------
// Data directory

#ifdef _WIN32
// The environment is read as UTF-16 and handed on as UTF-8: the narrow copy is in the
// system code page and would garble a non-ASCII user folder. A value that is not valid
// Unicode counts as unset, as the path rules ask.
std::optional<std::string> env_text(const char* name) {
  std::wstring wname(name, name + std::strlen(name));
  SetLastError(ERROR_SUCCESS);  // an empty value answers 0 without setting an error
  DWORD need = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (need == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(need, L'\0');
  DWORD got = GetEnvironmentVariableW(wname.c_str(), value.data(), need);
  if (got >= need) return std::nullopt;
  value.resize(got);
  if (value.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()),
                              nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::filesystem::path utf8_path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
#else
std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::filesystem::path utf8_path(const std::string& text) { return std::filesystem::path(text); }
#endif

// The per-user base folder that holds our folder, when the environment names one.
std::optional<std::filesystem::path> per_user_base() {
#ifdef _WIN32
  auto appdata = env_text("APPDATA");
  if (!appdata || !is_valid_utf8(*appdata)) return std::nullopt;
  return utf8_path(*appdata);
#else
  // The XDG rules ignore a relative XDG_CONFIG_HOME; an empty HOME would put the
  // binding wherever the service happened to start, so it counts as unset.
  if (auto xdg = env_text("XDG_CONFIG_HOME"); xdg && std::filesystem::path(*xdg).is_absolute()) {
    return std::filesystem::path(*xdg);
  }
  if (auto home = env_text("HOME"); home && !home->empty()) {
    return std::filesystem::path(*home) / ".config";
  }
  return std::nullopt;
#endif
}

std::filesystem::path data_directory() {
  if (auto dir = env_text("TAMRO_DATA_DIR"); dir && is_valid_utf8(*dir)) {
    std::string_view trimmed = trim_unicode(*dir);
    if (!trimmed.empty()) return utf8_path(std::string(trimmed));
  }
  if (auto base = per_user_base()) return *base / kFolderName;
  std::error_code ec;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec || temp.empty()) temp = "/tmp";
  return temp / kFolderName;
}

// ---------------------------------------------------------------------------------------
// Reading

// Builds the document tree while refusing what the stock reader lets through: repeated
// member names (it would keep one silently) and nesting beyond the limit (checked before
// the container is created, so a hostile "[[[[..." costs nothing).
class StrictTreeBuilder {
 public:
  explicit StrictTreeBuilder(json& root) : root_(root) {}

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
    if (stack_.back()->contains(name)) return refuse("duplicate member \"" + name + "\"");
    key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    return refuse(ex.what());
  }

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

  bool open(json container) {
    if (stack_.size() >= kMaxDepth) return refuse("nesting deeper than 128 levels");
    stack_.push_back(put(std::move(container)));
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  bool refuse(std::string text) {
    if (error_.empty()) error_ = std::move(text);
    return false;
  }

  json& root_;
  std::vector<json*> stack_;
  std::string key_;
  std::string error_;
};

Result<json> parse_document(std::string_view text) {
  // The stock reader skips a leading byte-order mark and takes a NUL byte for the end of
  // the input; both would let through text that is not one clean JSON value.
  if (text.starts_with("\xEF\xBB\xBF")) return fail("a byte-order mark is not allowed");
  if (text.find('\0') != std::string_view::npos) return fail("NUL byte in JSON text");

  json root;
  StrictTreeBuilder builder(root);
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

Result<std::string> read_text(const json& v, const char* name) {
  if (!v.is_string()) return fail(std::string(name) + " must be a string");
  return v.get<std::string>();
}

Result<bool> read_flag(const json& v, const char* name) {
  if (!v.is_boolean()) return fail(std::string(name) + " must be a boolean");
  return v.get<bool>();
}

Result<int32_t> read_i32(const json& v, const char* name) {
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
Result<std::array<const json*, N>> gather_fields(const json& v, const std::array<const char*, N>& names,
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

constexpr std::array<const char*, 6> kInitFields = {"water",  "coolLevel", "heatLevel",
                                                     "lumbar", "vibrate",   "volume"};
constexpr std::array<const char*, 4> kBindFields = {"boundAddress", "boundName", "autoConnect", "init"};

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

#ifdef _WIN32
std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string data;
  std::array<char, 4096> buf;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
      CloseHandle(h);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf.data(), n);
  }
  CloseHandle(h);
  return data;
}
#else
std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  std::array<char, 4096> buf;
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}
#endif

// ---------------------------------------------------------------------------------------
// Writing

#ifndef _WIN32
std::string os_error_text(int err) { return std::error_code(err, std::generic_category()).message(); }
#endif

// One save at a time writes the file; the binding lock is never held across the write.
std::mutex& save_mutex() {
  static std::mutex m;
  return m;
}

#ifdef _WIN32
std::string os_error_text(DWORD err) {
  std::string out = sys::system_message(err);
  return out.empty() ? "error " + std::to_string(err) : out;
}

// As on other systems: a private file beside bind.json, flushed to the disk, then moved
// over it in one step, so the file always holds either the old record or the new one.
Status replace_file(const std::filesystem::path& path, std::string_view text) {
  static std::atomic<uint64_t> counter{0};
  std::filesystem::path temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = path;
    temp += ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter.fetch_add(1));
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return fail(os_error_text(GetLastError()));
  }
  if (h == INVALID_HANDLE_VALUE) return fail(os_error_text(ERROR_FILE_EXISTS));

  auto abandon = [&](DWORD err) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    DeleteFileW(temp.c_str());
    return fail(os_error_text(err));
  };
  while (!text.empty()) {
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), 1u << 20));
    if (!WriteFile(h, text.data(), chunk, &n, nullptr) || n == 0) return abandon(GetLastError());
    text.remove_prefix(n);
  }
  if (!FlushFileBuffers(h)) return abandon(GetLastError());
  CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
  if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return abandon(GetLastError());
  return {};
}
#else
Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(os_error_text(errno));
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

// The new text goes to a private file beside bind.json that is flushed and then renamed
// over it, so a crash or power loss at any moment leaves either the old record or the
// new one on disk, never a torn file.
Status replace_file(const std::filesystem::path& path, std::string_view text) {
  static std::atomic<uint64_t> counter{0};
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";

  std::filesystem::path temp;
  int fd = -1;
  // A file left by a killed process with the same id can hold the name; take the next.
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return fail(os_error_text(errno));
  }
  if (fd < 0) return fail(os_error_text(EEXIST));

  auto abandon = [&](int err) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return fail(os_error_text(err));
  };
  if (auto written = write_all(fd, text); !written) {
    ::close(fd);
    ::unlink(temp.c_str());
    return written;
  }
  if (::fsync(fd) != 0) return abandon(errno);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return abandon(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) return abandon(errno);

  // Makes the rename itself durable. Some file systems refuse to sync a directory; the
  // file is already in place by then, so that is no reason to report a failed save.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return {};
}
#endif

void append_level(std::string& out, const char* name, int32_t value, bool last) {
  out += "    \"";
  out += name;
  out += "\": ";
  out += std::to_string(value);
  out += last ? "\n" : ",\n";
}

}  // namespace

std::filesystem::path data_file_path() { return data_directory() / kFileName; }

Result<BindConfig> parse_binding(std::string_view text) {
  auto doc = parse_document(text);
  if (!doc) return doc.take_error();
  return read_binding(*doc);
}

Result<InitConfig> parse_init_config(std::string_view text) {
  auto doc = parse_document(text);
  if (!doc) return doc.take_error();
  return read_init(*doc);
}

std::string binding_file_text(const BindConfig& c) {
  std::string out;
  out.reserve(256 + c.boundAddress.size() + c.boundName.size() + c.init.water.size());
  out += "{\n  \"boundAddress\": ";
  append_json_string(out, c.boundAddress);
  out += ",\n  \"boundName\": ";
  append_json_string(out, c.boundName);
  out += ",\n  \"autoConnect\": ";
  out += c.autoConnect ? "true" : "false";
  out += ",\n  \"init\": {\n    \"water\": ";
  append_json_string(out, c.init.water);
  out += ",\n";
  append_level(out, "coolLevel", c.init.coolLevel, false);
  append_level(out, "heatLevel", c.init.heatLevel, false);
  append_level(out, "lumbar", c.init.lumbar, false);
  append_level(out, "vibrate", c.init.vibrate, false);
  append_level(out, "volume", c.init.volume, true);
  out += "  }\n}";
  return out;
}

void load_binding(ServiceState& state) {
  // Start-up runs this before any other worker exists, so reading outside the lock and
  // storing the outcome in one step is the same as holding the lock throughout.
  BindConfig loaded;
  if (auto text = read_whole_file(data_file_path())) {
    if (auto parsed = parse_binding(*text)) {
      loaded = std::move(*parsed);
      if (loaded.init.water.empty()) loaded.init = InitConfig{};
    }
  }
  std::lock_guard lock(state.binding.mutex);
  state.binding.config = std::move(loaded);
}

BindConfig binding_snapshot(ServiceState& state) {
  std::lock_guard lock(state.binding.mutex);
  return state.binding.config;
}

Status save_binding(ServiceState& state, const BindConfig& config) {
  {
    std::lock_guard lock(state.binding.mutex);
    state.binding.config = config;
  }

  std::lock_guard save_lock(save_mutex());
  // Writes whatever is current now, not the argument: when two saves cross, the one that
  // writes last still writes the record of the later swap.
  BindConfig current = binding_snapshot(state);
  std::filesystem::path path = data_file_path();
  std::filesystem::path dir = path.parent_path();
  if (!dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return fail(ec.message());
  }
  return replace_file(path, binding_file_text(current));
}

void publish_binding(ServiceState& state) { state.events.publish(make_bind_event(binding_snapshot(state))); }

}  // namespace chair::bind
