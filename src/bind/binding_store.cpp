// The binding store: one record in memory, mirrored to bind.json after every change.
#include "bind/binding_store.h"

#include <string>

#include "bind/binding_file.h"
#include "common/text.h"
#include "sys/files.h"
#include "sys/paths.h"

namespace chair::bind {

namespace {

constexpr const char* kFolderName = "TAMRO-GamingChair";
constexpr const char* kFileName = "bind.json";

std::filesystem::path data_directory() {
  if (auto dir = sys::env_text("TAMRO_DATA_DIR"); dir && is_valid_utf8(*dir)) {
    std::string_view trimmed = trim_unicode(*dir);
    if (!trimmed.empty()) return sys::utf8_path(trimmed);
  }
  if (auto base = sys::user_config_dir()) return *base / kFolderName;
  return sys::temp_dir() / kFolderName;
}

Status write_binding_file(const std::filesystem::path& file, const BindConfig& config) {
  const std::string text = binding_file_text(config);
  // The start-up reads no larger file: a record it would not find again is not kept.
  if (text.size() > kMaxBindingFileBytes) {
    return fail("File too large: the binding would take " + std::to_string(text.size()) +
                " bytes, the start-up reads at most " + std::to_string(kMaxBindingFileBytes));
  }
  if (std::filesystem::path dir = file.parent_path(); !dir.empty()) {
    if (auto made = sys::create_directories(dir); !made) return made;
  }
  // A save cut short by a crash leaves its private file beside bind.json; every start and
  // save clears them, so they cannot pile up.
  sys::remove_replace_leftovers(file);
  return sys::replace_file(file, text);
}

}  // namespace

std::filesystem::path data_file_path() { return data_directory() / kFileName; }

BindingStore::BindingStore(std::filesystem::path file) : file_(std::move(file)) {}

void BindingStore::load() {
  sys::remove_replace_leftovers(file_);
  BindConfig loaded;
  // A larger file is no record this service wrote; it counts as unreadable and stays on
  // disk until the next save replaces it.
  if (auto text = sys::read_file(file_, kMaxBindingFileBytes)) {
    if (auto parsed = parse_stored_binding(*text)) loaded = std::move(*parsed);
  }
  std::lock_guard lock(mutex_);
  config_ = std::move(loaded);
}

BindConfig BindingStore::snapshot() const {
  std::lock_guard lock(mutex_);
  return config_;
}

Result<BindConfig> BindingStore::update(const std::function<void(BindConfig&)>& change) {
  BindConfig next;
  {
    std::unique_lock lock(mutex_);
    // One change at a time from reading the record to the end of its write, so the file
    // always ends with the record of the last change and no change works on a stale copy.
    turn_.wait(lock, [this] { return !saving_; });
    saving_ = true;
    next = config_;
    try {
      change(next);
    } catch (...) {
      saving_ = false;
      turn_.notify_one();
      throw;
    }
  }
  // The record in memory changes only once the file holds it: a failed save changes
  // nothing, so no reader (the routes, the supervisor) ever acts on a binding that the next
  // start would not find.
  Status written = write_binding_file(file_, next);
  {
    std::lock_guard lock(mutex_);
    if (written) config_ = next;
    saving_ = false;
  }
  turn_.notify_one();
  if (!written) return written.take_error();
  return next;
}

}  // namespace chair::bind
