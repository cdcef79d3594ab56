// The binding store: the remembered chair, kept in memory and mirrored to bind.json.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>

#include "bind/bind_config.h"
#include "common/result.h"

namespace chair::bind {

// bind.json in TAMRO_DATA_DIR when that names a folder, else in "TAMRO-GamingChair" in the
// user's settings folder, else in the temporary folder.
std::filesystem::path data_file_path();

class BindingStore {
 public:
  explicit BindingStore(std::filesystem::path file = data_file_path());

  // Start-up: defaults, then the file when it reads and parses. Silent on failure.
  void load();
  BindConfig snapshot() const;
  // Applies `change` to the stored binding and writes the file; returns the binding as
  // stored, or the system's error text. The stored binding changes only when the file was
  // written; a record whose file would be larger than the start-up reads
  // (kMaxBindingFileBytes) is refused, so what is stored always comes back. Changes are applied one at a time, each to
  // the record the previous one left, so two concurrent changes never lose one another.
  Result<BindConfig> update(const std::function<void(BindConfig&)>& change);
  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  mutable std::mutex mutex_;  // guards the fields below, never held across the file write
  std::condition_variable turn_;
  bool saving_ = false;  // a change is being written; the next one waits for its turn
  BindConfig config_;
};

}  // namespace chair::bind
