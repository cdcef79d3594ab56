// docs/api.md is what the UI developers build against: every path the service dispatches
// has a section of its own, and no section describes a path that is not dispatched.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "main/routes.h"

namespace {

std::string read_doc() {
  std::ifstream in(std::string(CHAIR_SOURCE_DIR) + "/docs/api.md", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every `/api/...` written in backticks on a heading line.
std::set<std::string> documented_paths(const std::string& doc) {
  std::set<std::string> paths;
  std::istringstream lines(doc);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] != '#') continue;
    size_t at = 0;
    while ((at = line.find("`/api/", at)) != std::string::npos) {
      const size_t end = line.find('`', at + 1);
      if (end == std::string::npos) break;
      paths.insert(line.substr(at + 1, end - at - 1));
      at = end + 1;
    }
  }
  return paths;
}

TEST(ApiReference, EveryDispatchedPathHasASectionAndNoOther) {
  const std::string doc = read_doc();
  ASSERT_FALSE(doc.empty()) << "docs/api.md is missing";
  const std::set<std::string> documented = documented_paths(doc);

  std::set<std::string> dispatched;
  for (const chair::Route& route : chair::routes()) {
    if (route.handler || route.path == "/api/events") dispatched.insert(std::string(route.path));
  }
  ASSERT_FALSE(dispatched.empty());
  for (const auto& path : dispatched) {
    EXPECT_TRUE(documented.count(path)) << path << " is dispatched but has no heading in docs/api.md";
  }
  for (const auto& path : documented) {
    EXPECT_TRUE(dispatched.count(path)) << path << " is documented in docs/api.md but not dispatched";
  }
}

}  // namespace
