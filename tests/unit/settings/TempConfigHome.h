#pragma once
// Each test gets its own XDG_CONFIG_HOME and its own log file, so warnings the
// store writes can be asserted.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sov/base/Log.h"

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
    unsetenv("XDG_CONFIG_HOME");
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
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void WriteRaw(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string LogText() const {
    zlog::Flush();
    return Read(log_);
  }
  // Names of everything in the store folder, sorted.
  std::vector<std::string> StoreEntries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(StoreDir(), ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  std::filesystem::path base_;
  std::filesystem::path home_;
  std::filesystem::path log_;
};
