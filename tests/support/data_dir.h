// A fresh folder named by TAMRO_DATA_DIR for the life of one test; removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace chair::test {

class TempDataDir {
 public:
  TempDataDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "chair-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    // The service reads it at start and at every save.
    setenv("TAMRO_DATA_DIR", path_.c_str(), 1);
  }
  ~TempDataDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDataDir(const TempDataDir&) = delete;
  TempDataDir& operator=(const TempDataDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file() const { return path_ / "bind.json"; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace chair::test
