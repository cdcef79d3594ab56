// The page's files, built into the program (web_files.cpp is generated from web/dist at
// build time by web/embed.mjs).
#pragma once

#include <span>
#include <string_view>

namespace chair::panel {

struct WebFile {
  std::string_view path;  // as requested: "/index.html", "/vendor/preact.mjs"
  std::string_view body;
};

std::span<const WebFile> web_files();

}  // namespace chair::panel
