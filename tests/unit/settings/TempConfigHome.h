#pragma once
// Each test gets its own XDG_CONFIG_HOME and its own log file, so warnings the
// store writes can be asserted. The variables a test changes are put back after it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "tests/unit/ErrCodeOf.h"
#include "tests/unit/TestSystem.h"

// Restores an environment variable when the test ends, however it ends.
class SavedEnv {
 public:
  explicit SavedEnv(const char* name) : name_(name) {
    if (const char* v = getenv(name)) value_ = v;
  }
  ~SavedEnv() { testsys::SetEnv(name_, value_ ? value_->c_str() : nullptr); }

 private:
  const char* name_;
  std::optional<std::string> value_;
};

class TempConfigHome : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = testsys::MakeTempDir("zep-settings");
    home_ = base_ / "config";
    std::filesystem::create_directories(home_);
    testsys::SetEnv(testsys::kConfigHomeVar, home_.string().c_str());
    log_ = base_ / "test.log";
    zlog::Init(0, log_, 1 << 20);
  }
  void TearDown() override {
    zlog::Shutdown();
    std::error_code ec;
    // Undo permission tricks so the folder can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(base_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->is_directory(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(base_, ec);
  }

  std::filesystem::path StoreDir() const { return home_ / "Ulmek" / "Zep"; }

  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteRaw(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string LogText() const {
    zlog::Flush();
    return Read(log_);
  }
  // Names of everything in the store folder, sorted: no temp file may be left behind.
  std::vector<std::string> StoreEntries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(StoreDir()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  SavedEnv savedConfigHome_{testsys::kConfigHomeVar};
  SavedEnv savedHome_{"HOME"};
  std::filesystem::path base_;
  std::filesystem::path home_;
  std::filesystem::path log_;
};
