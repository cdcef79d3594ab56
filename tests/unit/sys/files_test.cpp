// Whole-file reads with a size bound, and replacement that never leaves a stray file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "sys/files.h"
#include "test_env.h"

namespace chair::sys {
namespace {

namespace fs = std::filesystem;

TEST(Files, ReadIsBoundedAndReportsTheSystemsText) {
  test::TempDir dir;
  const fs::path file = dir.path() / "f";
  std::ofstream(file, std::ios::binary) << std::string(10000, 'x');

  auto exact = read_file(file, 10000);
  ASSERT_TRUE(exact.ok()) << exact.error();
  EXPECT_EQ(exact->size(), 10000u);
  auto over = read_file(file, 9999);
  ASSERT_FALSE(over.ok());
  EXPECT_NE(over.error().find("9999"), std::string::npos) << over.error();

  auto missing = read_file(dir.path() / "none", 10);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "No such file or directory");
  EXPECT_FALSE(read_file(dir.path(), 10).ok());  // a folder is not a file
}

TEST(Files, ReplaceWritesWholeTextsAndFailsCleanly) {
  test::TempDir dir;
  const fs::path file = dir.path() / "f";
  ASSERT_TRUE(replace_file(file, "one").ok());
  ASSERT_TRUE(replace_file(file, "").ok());
  EXPECT_EQ(test::read_file(file.string()), "");
  ASSERT_TRUE(replace_file(file, "two").ok());
  EXPECT_EQ(test::read_file(file.string()), "two");

  // A folder in the file's place: the new text cannot be moved there.
  fs::create_directories(dir.path() / "taken");
  EXPECT_FALSE(replace_file(dir.path() / "taken", "x").ok());
  EXPECT_FALSE(replace_file(dir.path() / "no-such-folder" / "f", "x").ok());
  EXPECT_FALSE(sys::create_directories(file / "below-a-file").ok());
  EXPECT_TRUE(sys::create_directories(dir.path() / "a" / "b").ok());

  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "f", "taken"})) << "a temporary file was left behind";
}

}  // namespace
}  // namespace chair::sys
