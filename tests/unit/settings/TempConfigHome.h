#pragma once
// Each test gets its own XDG_CONFIG_HOME and its own log file, so warnings the
// store writes can be asserted. The variables a test changes are put back after it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

// The code of the ErrCodeException f throws; 0 when it throws none.
inline int ErrCodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ErrCodeException& e) {
    return e.Code();
  }
  return 0;
}

// Restores an environment variable when the test ends, however it ends.
class SavedEnv {
 public:
  explicit SavedEnv(const char* name) : name_(name) {
    if (const char* v = getenv(name)) value_ = v;
  }
  ~SavedEnv() { value_ ? setenv(name_, value_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> value_;
};

class TempConfigHome : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zep-settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    base_ = tmpl;
    home_ = base_ / "config";
    std::filesystem::create_directories(home_);
    setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
    log_ = base_ / "test.log";
    zlog::Init(0, log_, 1 << 20);
  }
  void TearDown() override {
    zlog::Shutdown();
    std::error_code ec;
    // Undo permission tricks so the folder can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(base_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->is_directory(ec)) chmod(it->path().c_str(), 0700);
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

  SavedEnv savedConfigHome_{"XDG_CONFIG_HOME"};
  SavedEnv savedHome_{"HOME"};
  std::filesystem::path base_;
  std::filesystem::path home_;
  std::filesystem::path log_;
};
