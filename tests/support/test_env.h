// Scratch folders, stand-in programs on PATH and child-process checks.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "eventually.h"

namespace chair::test {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "chair-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

  // Writes an executable shell script.
  void script(const std::string& name, const std::string& body) const {
    std::ofstream(file(name)) << "#!/bin/sh\n" << body << "\n";
    ::chmod(file(name).c_str(), 0755);
  }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Puts `dir` first on PATH for the life of the object. PATH is process-wide: every
// case runs as its own process under ctest, so cases never see each other's PATH.
class PathFirst {
 public:
  explicit PathFirst(const std::filesystem::path& dir, bool only = false) {
    const char* old = std::getenv("PATH");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    std::string path = dir.string();
    if (!only && had_old_) path += ":" + old_;
    ::setenv("PATH", path.c_str(), 1);
  }
  ~PathFirst() {
    if (had_old_)
      ::setenv("PATH", old_.c_str(), 1);
    else
      ::unsetenv("PATH");
  }

 private:
  bool had_old_ = false;
  std::string old_;
};

// No child of this process is left, zombie or running.
inline void expect_no_children() {
  errno = 0;
  pid_t r = ::waitpid(-1, nullptr, WNOHANG);
  EXPECT_EQ(r, -1) << "a child process was left behind";
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace chair::test
