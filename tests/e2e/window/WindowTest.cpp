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
#include "tests/e2e/ZepOnXvfb.h"
#include "tests/integration/station/StationHarness.h"

// Last: Xlib defines macros (None, Bool) that clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::StationProcess;

namespace {

using e2e::WaitUntil;

class ZepWindow : public e2e::ZepOnXvfb {
 protected:
  ZepWindow() : ZepOnXvfb("1366x768x24", {"xdotool", "xprop", "Xvfb"}, "zep-window-") {}

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

  struct Rgb {
    int r, g, b;
    bool Bright() const { return r > 200 && g > 200 && b > 200; }
    bool Dark() const { return r < 70 && g < 70 && b < 70; }
  };
  // The window's pixels as the screen shows them (no window manager: the client area sits where
  // the client's log says it put the window).
  std::vector<Rgb> Screenshot(int& w, int& h) const {
    const std::string line = ZepLog().substr(ZepLog().find("Main window "));
    int ox = 0, oy = 0;
    if (std::sscanf(line.c_str(), "Main window %dx%d at %d,%d", &w, &h, &ox, &oy) != 4) return {};
    Display* d = XOpenDisplay(x_.Display().c_str());
    if (!d) return {};
    std::vector<Rgb> px;
    if (XImage* im = XGetImage(d, DefaultRootWindow(d), ox, oy, w, h, AllPlanes, ZPixmap)) {
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const unsigned long p = XGetPixel(im, x, y);
          px.push_back({static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                        static_cast<int>(p & 0xFF)});
        }
      XDestroyImage(im);
    }
    XCloseDisplay(d);
    return px;
  }
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

// The window manager sees the program's class and its icon.
TEST_F(ZepWindow, WindowCarriesItsClassNameAndIcon) {
  StationProcess station({"--size", "640x360", "--cursor-interval-ms", "60000"});
  StartZep(station.Port());
  EXPECT_EQ(Sh("xprop -id " + window_ + " WM_CLASS"), "WM_CLASS(STRING) = \"ZEP\", \"ZEP\"");
  // _NET_WM_ICON holds width, height, then width × height ARGB pixels.
  const std::string icon = Sh("xprop -id " + window_ + " -notype 32c _NET_WM_ICON");
  ASSERT_EQ(icon.rfind("_NET_WM_ICON = 64, 64, ", 0), 0u) << icon.substr(0, 200);
  std::vector<uint32_t> pixels;
  std::stringstream rest(icon.substr(std::string("_NET_WM_ICON = 64, 64, ").size()));
  for (std::string item; std::getline(rest, item, ',');)
    pixels.push_back(static_cast<uint32_t>(std::stoul(item)));
  ASSERT_EQ(pixels.size(), 64u * 64u);
  EXPECT_EQ(pixels[0] >> 24, 0u) << "a transparent corner";
  EXPECT_EQ(pixels[10 * 64 + 10], 0xFF2E70D1u) << "opaque blue";
  EXPECT_EQ(pixels[32 * 64 + 32], 0xFFFFFFFFu) << "the white play mark";
}

// On a 1366 × 768 screen the window is 1094 × 616: the settings panel opens with its close button in
// view at the window's top right, and a click on it closes the panel again.
TEST_F(ZepWindow, SettingsPanelShowsItsCloseButtonInASmallWindow) {
  StationProcess station({"--size", "640x360", "--cursor-interval-ms", "60000"});
  StartZep(station.Port());
  ASSERT_NE(ZepLog().find("Main window 1094x616"), std::string::npos);
  int w = 0, h = 0;
  std::vector<Rgb> shot;
  // Two points of the window's top row that the station's colour bars keep bright (blue, yellow).
  auto topCovered = [&] { return shot[3 * w + w * 36 / 100].Dark() && shot[3 * w + w * 70 / 100].Dark(); };
  auto topShowsPicture = [&] {
    return !shot[3 * w + w * 36 / 100].Dark() && !shot[3 * w + w * 70 / 100].Dark();
  };
  ASSERT_TRUE(WaitUntil(
      [&] {
        shot = Screenshot(w, h);
        return !shot.empty() && topShowsPicture();
      },
      20000))
      << "no picture";
  Sh("xdotool mousemove --window " + window_ + " 547 300 key ctrl+alt+d");
  // The panel reaches the window's top edge: the picture there is covered by the dark panel.
  ASSERT_TRUE(WaitUntil(
      [&] {
        shot = Screenshot(w, h);
        return !shot.empty() && topCovered();
      },
      10000))
      << "the settings panel did not open at the window's top";
  if (const char* keep = std::getenv("ZEP_TEST_PNG_DIR")) {  // to look at the frame
    std::ofstream out(fs::path(keep) / "window-settings-1094x616.ppm", std::ios::binary);
    out << "P6\n" << w << " " << h << "\n255\n";
    for (const Rgb& c : shot)
      out.put(static_cast<char>(c.r)).put(static_cast<char>(c.g)).put(static_cast<char>(c.b));
  }
  // The "X" in the top-right corner: bright pixels on the dark panel.
  int count = 0, sumX = 0, sumY = 0;
  for (int y = 0; y < 60; ++y)
    for (int x = w - 120; x < w; ++x)
      if (shot[y * w + x].Bright()) ++count, sumX += x, sumY += y;
  ASSERT_GT(count, 30) << "no close button at the top right";
  Sh("xdotool mousemove --window " + window_ + " " + std::to_string(sumX / count) + " " +
     std::to_string(sumY / count) + " click 1");
  EXPECT_TRUE(WaitUntil(
      [&] {
        shot = Screenshot(w, h);
        return !shot.empty() && topShowsPicture();
      },
      10000))
      << "the close button did not close the panel";
}

}  // namespace
