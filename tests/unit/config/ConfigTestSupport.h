#pragma once
// Temporary folders, files and XDG environment for the configuration tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "sov/config/Config.h"

namespace configtest {

// Sets or clears an environment variable and restores the old value on exit.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvGuard() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zep-config-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

  std::string Write(const std::string& name, const std::string& contents) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out << contents;
    return file.string();
  }

 private:
  std::filesystem::path path_;
};

// Every test that loads gets its own state and data homes, so the default log
// folders are made inside the test's temp folder and never in the real home.
class ConfigTest : public ::testing::Test {
 protected:
  std::filesystem::path StateHome() const { return dir_.path() / "state"; }
  std::filesystem::path DataHome() const { return dir_.path() / "data"; }

  // Loads `contents` as the configuration file and returns what went to stdout.
  std::string LoadText(const std::string& contents) {
    const std::string file = dir_.Write("client-config.cfg", contents);
    ::testing::internal::CaptureStdout();
    try {
      Config::Instance().Load(file);
    } catch (...) {
      stdout_ = ::testing::internal::GetCapturedStdout();
      throw;
    }
    stdout_ = ::testing::internal::GetCapturedStdout();
    return stdout_;
  }

  TempDir dir_;
  EnvGuard state_{"XDG_STATE_HOME", (dir_.path() / "state").c_str()};
  EnvGuard data_{"XDG_DATA_HOME", (dir_.path() / "data").c_str()};
  std::string stdout_;  // output of the last LoadText, also when it threw
};

}  // namespace configtest
