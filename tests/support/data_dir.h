// A fresh folder named by TAMRO_DATA_DIR for the life of one test; removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "test_env.h"

namespace chair::test {

class TempDataDir : public TempDir {
 public:
  // The service reads it at start and at every save.
  TempDataDir() { setenv("TAMRO_DATA_DIR", path().c_str(), 1); }
  TempDataDir(const TempDataDir&) = delete;
  TempDataDir& operator=(const TempDataDir&) = delete;

  using TempDir::file;
  std::filesystem::path file() const { return path() / "bind.json"; }
  std::filesystem::path operator/(const std::string& name) const { return path() / name; }
};

}  // namespace chair::test
