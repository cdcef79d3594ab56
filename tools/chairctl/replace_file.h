// Crash-safe replacement of a file, as bind export needs it.
//
// Stand-in with the signature of chair::sys::replace_file (sys/files.h) until chair_sys carries
// that implementation; then this file and replace_file.cpp go and cli.cpp calls the sys one.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/result.h"

namespace chairctl {

// Replaces `path` with `text` whole or not at all: a private file beside it is written,
// flushed to the disk and renamed over it, then the folder is synced. On failure the old file
// is untouched, no temporary file is left, and the error is the system's text.
chair::Status replace_file(const std::filesystem::path& path, std::string_view text);

}  // namespace chairctl
