// The real zep under Xvfb (a 1366×768 screen) against the reference station: the window's own
// properties as the X server sees them, and the threads behind it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e/SpawnProcess.h"
#include "tests/e2e/XvfbDisplay.h"
#include "tests/integration/station/StationHarness.h"

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::StationProcess;

namespace {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
  while (!done()) {
    if (MonotonicUs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class ZepWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"xdotool", "xprop", "Xvfb"})
      if (system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0)
        GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
    ASSERT_FALSE(x_.Display().empty()) << "Xvfb did not start";
    dir_ = fs::temp_directory_path() / ("zep-window-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
    std::ofstream(dir_ / "client-config.cfg")
        << "logger.applicationlog = " << (dir_ / "logs").string() << "\n";
  }
  void TearDown() override {
    if (zep_ > 0) {
      kill(zep_, SIGKILL);
      waitpid(zep_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  void StartZep(int port) {
    zep_ =
        e2e::SpawnProcess({ZEP_BINARY_DIR "/bin/zep", "127.0.0.1", "--port", std::to_string(port)},
                          {"DISPLAY=" + x_.Display(), "SDL_AUDIODRIVER=dummy", "SDL_RENDER_DRIVER=software",
                           "HOME=" + dir_.string(), "XDG_STATE_HOME=" + (dir_ / "state").string(),
                           "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                           "XDG_RUNTIME_DIR=" + dir_.string(), "PATH=/usr/bin:/bin"},
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
  // zep's threads as the system shows them: thread id to name.
  std::map<pid_t, std::string> Threads() const {
    std::map<pid_t, std::string> threads;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(zep_) + "/task")) {
      std::ifstream in(task.path() / "comm");
      std::string name;
      std::getline(in, name);
      threads[static_cast<pid_t>(std::stol(task.path().filename().string()))] = name;
    }
    return threads;
  }
  // Every "WndProc idle" figure of the once-per-second video lines, in order.
  std::vector<double> WndProcIdleFigures() const {
    static const std::regex figure("WndProc idle ([-0-9.]+) %");
    std::vector<double> out;
    const std::string log = ZepLog();
    for (std::sregex_iterator it(log.begin(), log.end(), figure), end; it != end; ++it)
      out.push_back(std::stod((*it)[1]));
    return out;
  }

  e2e::XvfbDisplay x_{"1366x768x24"};
  fs::path dir_;
  pid_t zep_ = -1;
  std::string window_;
};

// Presentation has a thread of its own, and the window thread's busy share reaches the statistics
// table while the pointer moves over the window.
TEST_F(ZepWindow, DrawThreadPresentsAndTheWindowProcedureReportsItsIdleShare) {
  StationProcess station({"--size", "640x360", "--cursor-interval-ms", "60000"});
  StartZep(station.Port());

  // Threads the draw thread starts (the GL driver's, say) inherit its name; the one we started is
  // the first of them and never the window thread.
  const std::map<pid_t, std::string> threads = Threads();
  EXPECT_EQ(threads.at(zep_), "zep") << "the window thread keeps the program's name";
  size_t drawThreads = 0;
  for (const auto& [tid, name] : threads) drawThreads += name == "DrawThreadProc" && tid != zep_;
  EXPECT_GE(drawThreads, 1u) << "threads: " << ::testing::PrintToString(threads);
  const size_t before = WndProcIdleFigures().size();
  // Half a second of pointer moves over the window, then the next two reports.
  for (int i = 0; i < 25; ++i)
    Sh("xdotool mousemove --window " + window_ + " " + std::to_string(100 + 7 * i) + " " +
       std::to_string(100 + 3 * i));
  ASSERT_TRUE(WaitUntil([&] { return WndProcIdleFigures().size() >= before + 2; }, 20000)) << ZepLog();
  const double idle = WndProcIdleFigures().back();
  EXPECT_GT(idle, 0.0) << ZepLog();
  EXPECT_LE(idle, 100.0);

  // The pictures keep coming from the draw thread: its frame count grows between two reports.
  static const std::regex frames("frames count ([0-9]+)");
  auto lastFrames = [&] {
    const std::string log = ZepLog();
    long long last = -1;
    for (std::sregex_iterator it(log.begin(), log.end(), frames), end; it != end; ++it)
      last = std::stoll((*it)[1]);
    return last;
  };
  const long long first = lastFrames();
  EXPECT_TRUE(WaitUntil([&] { return lastFrames() > first; }, 10000));
}

}  // namespace
