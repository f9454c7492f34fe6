#pragma once
// The real zep in a scratch folder on an X server of the test's own, against a station's port
// block: its window as the X server sees it, shell commands (xdotool, xclip) on that display, and
// the client's log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/SpawnProcess.h"
#include "tests/e2e/XvfbDisplay.h"
#include "tests/integration/station/StationHarness.h"

namespace e2e {

using stationtest::WaitUntil;

class ZepOnXvfb : public ::testing::Test {
 protected:
  // `screen` as Xvfb takes it; the test skips when one of `tools` is not installed.
  ZepOnXvfb(const std::string& screen, std::vector<std::string> tools, std::string folderPrefix)
      : x_(screen), tools_(std::move(tools)), prefix_(std::move(folderPrefix)) {}

  void SetUp() override {
    for (const std::string& tool : tools_)
      if (std::system(("command -v " + tool + " >/dev/null").c_str()) != 0)
        GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
    ASSERT_FALSE(x_.Display().empty()) << "Xvfb did not start";
    dir_ = std::filesystem::temp_directory_path() / (prefix_ + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "logs");
    std::ofstream(dir_ / "client-config.cfg")
        << "logger.applicationlog = " << (dir_ / "logs").string() << "\n";
  }
  void TearDown() override {
    if (zep_ > 0) {
      kill(zep_, SIGKILL);
      waitpid(zep_, nullptr, 0);
      zep_ = -1;
    }
    std::filesystem::remove_all(dir_);
  }

  void StartZep(int port) {
    zep_ = SpawnProcess({ZEP_BINARY_DIR "/bin/zep", "127.0.0.1", "--port", std::to_string(port)},
                        {"DISPLAY=" + x_.Display(), "SDL_AUDIODRIVER=dummy", "SDL_RENDER_DRIVER=software",
                         "HOME=" + dir_.string(), "XDG_STATE_HOME=" + (dir_ / "state").string(),
                         "XDG_CONFIG_HOME=" + (dir_ / "config").string(), "XDG_RUNTIME_DIR=" + dir_.string(),
                         "PATH=/usr/bin:/bin"},
                        dir_);
    ASSERT_GT(zep_, 0);
    // SDL may replace its first window when the renderer starts: take the one that stays.
    ASSERT_TRUE(WaitUntil(
        [&] {
          window_ =
              Sh("for w in $(xdotool search --name '^zep$'); do "
                 "xdotool getwindowgeometry $w >/dev/null 2>&1 && echo $w; done | tail -1");
          return !window_.empty() && ZepLog().find("Video renderer") != std::string::npos;
        },
        30000))  // generous: a loaded machine starts the renderer slowly
        << "no zep window; its log:\n"
        << ZepLog();
  }
  // Runs a shell command on our display; its standard output without the final newline.
  std::string Sh(const std::string& command) const {
    const std::string full = "export DISPLAY=" + x_.Display() + "; " + command;
    std::string out;
    if (FILE* f = popen(full.c_str(), "r")) {
      char buf[512];
      while (fgets(buf, sizeof buf, f)) out += buf;
      pclose(f);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string ZepLog() const {
    std::ifstream in(dir_ / "logs" / "vektaclient.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  XvfbDisplay x_;
  std::filesystem::path dir_;
  pid_t zep_ = -1;
  std::string window_;

 private:
  std::vector<std::string> tools_;
  std::string prefix_;
};

}  // namespace e2e
