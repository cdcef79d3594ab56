// The user's runtime folder of ours, $XDG_RUNTIME_DIR/chair-service: how the user's one panel is
// found. The running panel holds "panel.lock" and writes "panel" (its page's address) and "url"
// (its service's address, which chairctl reads); both go when it ends. The folder is 0700 and
// the files 0600: what they name drives the chair.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace chair::panel {

class RuntimeFolder {
 public:
  // The folder, created when missing. Fails when XDG_RUNTIME_DIR is unset or not absolute, or
  // when what is there is not a folder of this user's.
  static Result<RuntimeFolder> open();
  // As open(), in `folder` itself (for tests).
  static Result<RuntimeFolder> open_at(std::filesystem::path folder);

  RuntimeFolder(RuntimeFolder&& other) noexcept;
  RuntimeFolder& operator=(RuntimeFolder&&) = delete;
  RuntimeFolder(const RuntimeFolder&) = delete;
  RuntimeFolder& operator=(const RuntimeFolder&) = delete;
  // Removes what publish() wrote, if this panel was the one; the claim ends with the process
  // or with this object, whichever comes first.
  ~RuntimeFolder();

  const std::filesystem::path& path() const { return folder_; }

  // Makes this process the user's one panel (nullopt), or finds the one that is: the address
  // of its page, once it has said it. A panel that is still starting is waited for up to
  // `timeout`; one that ends meanwhile leaves the claim to us. `give_up` is asked about ten
  // times a second.
  Result<std::optional<std::string>> claim(std::chrono::milliseconds timeout, const std::function<bool()>& give_up);

  // Writes "url" or "panel" whole, readable by this user only; only the claim's holder may.
  Status publish(std::string_view name, std::string_view text);

 private:
  explicit RuntimeFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}
  void withdraw();

  std::filesystem::path folder_;
  int lock_ = -1;  // the claim, while held
};

}  // namespace chair::panel
