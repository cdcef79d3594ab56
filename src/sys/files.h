// Whole-file reads and crash-safe replacement, one implementation per operating system.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "common/result.h"

namespace chair::sys {

// The file's bytes. Fails with the system's text when it cannot be opened or read, at once
// when it is no regular file (a folder, a pipe, a device), and without reading further when
// it holds more than `max_bytes`.
Result<std::string> read_file(const std::filesystem::path& path, size_t max_bytes);

// Replaces `path` with `text` so that a crash or power loss at any moment leaves either the
// old file or the new one: a private file beside it is written, flushed to the disk and
// moved over it in one step (and on POSIX the folder is synced). The folder must exist.
// Fails with the system's text; the old file is then untouched and no temporary file is
// left behind.
Status replace_file(const std::filesystem::path& path, std::string_view text);

// Removes what interrupted replacements of `path` left beside it: the private files of
// processes that no longer run, and this process's own (so call it when none of its own
// replacements of `path` is under way). Nothing else in the folder is touched.
void remove_replace_leftovers(const std::filesystem::path& path);

// Creates the folder and its parents; fails with the system's text. The same on every system.
inline Status create_directories(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return fail(ec.message());
  return {};
}

}  // namespace chair::sys
