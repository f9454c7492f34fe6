#pragma once
// Temporary folder, XDG environment and a saved configuration record for the configuration tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "sov/config/Config.h"
#include "tests/unit/TestSystem.h"

namespace configtest {

// Sets or clears an environment variable and restores the old value on exit.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    testsys::SetEnv(name, value);
  }
  ~EnvGuard() { testsys::SetEnv(name_.c_str(), old_ ? old_->c_str() : nullptr); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Every test gets its own folder with the state and data homes inside, so default log folders
// are never made in the real home, and the process-wide record is put back afterwards.
class ConfigTest : public ::testing::Test {
 protected:
  static std::filesystem::path MakeDir() { return testsys::MakeTempDir("zep-config"); }
  void TearDown() override {
    Config::Instance() = saved_;
    std::filesystem::remove_all(dir_);
  }
  std::string Write(const std::string& name, const std::string& contents) const {
    std::ofstream(dir_ / name, std::ios::binary) << contents;
    return (dir_ / name).string();
  }
  // Loads `contents` as the configuration file and returns what went to stdout.
  std::string LoadText(const std::string& contents) {
    const std::string file = Write("client-config.cfg", contents);
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

  const Config saved_ = Config::Instance();
  const std::filesystem::path dir_ = MakeDir();
  const std::filesystem::path stateHome_ = dir_ / "state";
  const std::filesystem::path dataHome_ = dir_ / "data";
  EnvGuard state_{testsys::kStateHomeVar, stateHome_.string().c_str()};
  EnvGuard data_{testsys::kDataHomeVar, dataHome_.string().c_str()};
  std::string stdout_;  // output of the last LoadText, also when it threw
};

}  // namespace configtest
