// docs/api.md and docs/openapi.yaml are what UI developers build against: every path the
// service dispatches is described in both, and neither describes a path that is not.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "data_dir.h"
#include "http_client.h"
#include "service_process.h"

namespace chair::test {
namespace {

const std::filesystem::path kSource = CHAIR_SOURCE_DIR;

std::string read_text(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string joined(const std::set<std::string>& paths) {
  std::string out;
  for (const auto& p : paths) out += " " + p;
  return out;
}

// The route table is the one place where the service spells its paths.
std::set<std::string> dispatched_paths() {
  std::set<std::string> paths;
  const std::regex literal("\"(/api/[a-z/]+)\"");
  for (const auto& entry : std::filesystem::directory_iterator(kSource / "src" / "service")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("routes", 0) != 0 || entry.path().extension() != ".cpp") continue;
    const std::string text = read_text(entry.path());
    for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it) paths.insert((*it)[1]);
  }
  return paths;
}

// Every `/api/...` written in backticks on a heading line of api.md.
std::set<std::string> api_md_paths() {
  std::set<std::string> paths;
  std::istringstream lines(read_text(kSource / "docs" / "api.md"));
  const std::regex path("`(/api/[^`]+)`");
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] != '#') continue;
    for (std::sregex_iterator it(line.begin(), line.end(), path), end; it != end; ++it) paths.insert((*it)[1]);
  }
  return paths;
}

// The keys of the `paths:` object of openapi.yaml (two spaces in, ending with a colon).
std::set<std::string> openapi_paths() {
  std::set<std::string> paths;
  std::istringstream lines(read_text(kSource / "docs" / "openapi.yaml"));
  const std::regex key("^  (/[^ :]+):\\s*$");
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, m, key)) paths.insert(m[1]);
  }
  return paths;
}

TEST(ApiDescriptions, EveryDispatchedPathIsDescribedAndNoOther) {
  const std::set<std::string> dispatched = dispatched_paths();
  ASSERT_GE(dispatched.size(), 10u) << "the route table was not found under src/service/routes*.cpp:"
                                    << joined(dispatched);
  EXPECT_EQ(api_md_paths(), dispatched) << "docs/api.md headings vs. the route table";
  EXPECT_EQ(openapi_paths(), dispatched) << "docs/openapi.yaml paths vs. the route table";
}

TEST(ApiDescriptions, TheServiceAnswersEveryDescribedPath) {
  // The binary agrees with the source: each path is routed (status 200), none is the bare 404.
  TempDataDir dir;
  ServiceProcess service(bin_path("chair-service"), {}, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus"});
  service.read_lines(2);
  ASSERT_NE(service.port(), 0) << service.err();
  for (const auto& path : openapi_paths()) {
    if (path == "/api/events") {
      EventStream stream(service.port());
      EXPECT_TRUE(stream.next()) << path;
      EXPECT_EQ(stream.raw().rfind("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n", 0), 0u) << stream.raw();
      continue;
    }
    const HttpResponse reply = get(service.port(), path);
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.raw;
  }
  EXPECT_EQ(get(service.port(), "/api/nothing").status, 404);
}

}  // namespace
}  // namespace chair::test
