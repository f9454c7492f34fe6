// The real zep against the reference station on an Xvfb display: the overlay's panes are checked
// by sampling pixels inside control rectangles worked out by hand from the layout, and driven by
// real X pointer and key events from xdotool.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/SpawnProcess.h"
#include "tests/integration/station/StationHarness.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::StationProcess;

namespace {

struct Rgb {
  int r, g, b;
};

// Our children's standard output would only clutter the test's.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const fs::path& dir) {
  return e2e::SpawnProcess(args, env, dir, "/dev/null");
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class OverlayOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/xdotool", X_OK) != 0)
      GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps.sh)";
    dir_ = fs::temp_directory_path() / ("zep-overlay-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    display_ = ":" + std::to_string(70 + getpid() % 200);
    xvfb_ = Spawn({"/usr/bin/Xvfb", display_, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"}, {}, dir_);
    ASSERT_GT(xvfb_, 0);
    for (int i = 0; i < 100 && !x_; ++i) {
      x_ = XOpenDisplay(display_.c_str());
      if (!x_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(x_, nullptr) << "Xvfb did not start";
  }
  void TearDown() override {
    StopZep();
    if (x_) XCloseDisplay(x_);
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }

  void StartZep(int port, const std::string& lang, bool canTryNext) {
    fs::remove(dir_ / "logs" / "vektaclient.log");
    std::ofstream(dir_ / "client-config.cfg")
        << "logger.applicationlog = " << (dir_ / "logs").string() << "\n";
    std::vector<std::string> args = {ZEP_BINARY_DIR "/bin/zep", "127.0.0.1", "--port", std::to_string(port)};
    if (canTryNext) args.push_back("--canTryNext");
    zep_ =
        Spawn(args,
              {"DISPLAY=" + display_, "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=dummy",
               "SDL_RENDER_DRIVER=software", "HOME=" + dir_.string(),
               "XDG_STATE_HOME=" + (dir_ / "state").string(), "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
               "XDG_RUNTIME_DIR=" + (dir_ / "run").string(), "PATH=/usr/bin:/bin", "LANG=" + lang},
              dir_);
    ASSERT_GT(zep_, 0);
    // The window's place on the screen, from the client's own log line.
    const std::string line = WaitForLog("Main window ", 20000);
    ASSERT_FALSE(line.empty()) << ReadFile(dir_ / "logs" / "vektaclient.log");
    ASSERT_EQ(std::sscanf(line.c_str() + line.find("Main window "), "Main window %dx%d at %d,%d", &w_, &h_,
                          &ox_, &oy_),
              4);
    ASSERT_EQ(w_, 1536);  // 80 % of the screen: the rectangles below assume it
    ASSERT_FALSE(WaitForLog(" pictures, frames count", 30000, "] Video: 0 ").empty()) << "no picture";
  }
  int StopZep() {
    if (zep_ <= 0) return -1;
    kill(zep_, SIGKILL);
    int status = 0;
    waitpid(zep_, &status, 0);
    zep_ = -1;
    return status;
  }
  // The exit status of zep when it ends within timeoutMs, else -1.
  int WaitExit(int timeoutMs) {
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    while (MonotonicUs() < end) {
      int status = 0;
      if (waitpid(zep_, &status, WNOHANG) == zep_) {
        zep_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  // The first log line with `needle` and without `unless`.
  std::string WaitForLog(const std::string& needle, int timeoutMs, const std::string& unless = "\x01") const {
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    for (;;) {
      std::istringstream in(ReadFile(dir_ / "logs" / "vektaclient.log"));
      for (std::string l; std::getline(in, l);)
        if (l.find(needle) != std::string::npos && l.find(unless) == std::string::npos) return l;
      if (MonotonicUs() > end) return {};
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  void Xdo(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"/usr/bin/xdotool"};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = Spawn(all, {"DISPLAY=" + display_}, dir_);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(status, 0);
  }
  // Window coordinates, as the overlay lays itself out.
  void Click(int x, int y) {
    Xdo({"mousemove", std::to_string(ox_ + x), std::to_string(oy_ + y)});
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Xdo({"click", "1"});
    Settle();
  }
  void Keys(const std::string& keys) {
    Xdo({"mousemove", std::to_string(ox_ + w_ / 2), std::to_string(oy_ + 5)});
    Xdo({"key", keys});
    Settle();
  }
  // Two idle redraws (50 ms each) and some slack for the software renderer.
  static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

  struct Shot {
    int w = 0, h = 0;
    std::vector<Rgb> px;
    Rgb At(int x, int y) const { return px[static_cast<std::size_t>(y) * w + x]; }
  };
  // The window's pixels as shown on the screen.
  Shot Screenshot(const char* savePpm = nullptr) {
    Shot s;
    XImage* im = XGetImage(x_, DefaultRootWindow(x_), ox_, oy_, w_, h_, AllPlanes, ZPixmap);
    if (!im) return s;
    s.w = w_;
    s.h = h_;
    for (int y = 0; y < h_; ++y)
      for (int x = 0; x < w_; ++x) {
        const unsigned long p = XGetPixel(im, x, y);
        s.px.push_back({static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                        static_cast<int>(p & 0xFF)});
      }
    XDestroyImage(im);
    if (savePpm) {
      std::ofstream out(savePpm, std::ios::binary);
      out << "P6\n" << s.w << " " << s.h << "\n255\n";
      for (const Rgb& c : s.px)
        out.put(static_cast<char>(c.r)).put(static_cast<char>(c.g)).put(static_cast<char>(c.b));
    }
    return s;
  }

  // Screenshots until `ok` holds for one (at most timeoutMs): the software renderer under Xvfb
  // may take a few frames to show a change.
  template <class Ok>
  Shot WaitShot(Ok ok, int timeoutMs = 5000) {
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    Shot s = Screenshot();
    while (!ok(s) && MonotonicUs() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      s = Screenshot();
    }
    return s;
  }

  fs::path dir_;
  std::string display_;
  Display* x_ = nullptr;
  pid_t xvfb_ = -1;
  pid_t zep_ = -1;
  int w_ = 0, h_ = 0, ox_ = 0, oy_ = 0;
};

std::ostream& operator<<(std::ostream& o, const Rgb& c) {
  return o << "rgb(" << c.r << "," << c.g << "," << c.b << ")";
}

bool Near(Rgb a, Rgb want, int tolerance) {
  return std::abs(a.r - want.r) <= tolerance && std::abs(a.g - want.g) <= tolerance &&
         std::abs(a.b - want.b) <= tolerance;
}
bool DarkGrey(Rgb a) {
  return a.r < 70 && std::abs(a.r - a.g) < 12 && std::abs(a.g - a.b) < 12;
}

// The horizontal extent of bright (text) pixels inside a rectangle.
int TextWidth(const auto& shot, int x0, int y0, int w, int h) {
  int left = x0 + w, right = x0 - 1;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x)
      if (shot.At(x, y).r > 160) left = std::min(left, x), right = std::max(right, x);
  return right >= left ? right - left + 1 : 0;
}

// Layout of the 1536 x 864 window: confirmation pane 420 x 170 centred 40 px above the bottom; settings
// panel 1180 x 720 centred, rows 95 apart in two columns of seven, controls 270 px right of a row's start.
constexpr int kConfirmX = 768 - 210, kConfirmY = 864 - 210;
constexpr int kPlayX = kConfirmX + 60, kPlayY = kConfirmY + 80, kSecondX = kConfirmX + 230;
constexpr int kPanelX = 768 - 590, kPanelY = 432 - 360;
constexpr int kColumn1 = kPanelX + 20 + 580 + 270;
constexpr int RowY(int row) {
  return kPanelY + 50 + row * 95;
}

// The station keeps its first pointer (visible): a hidden one would put the mouse in relative
// mode, where xdotool's absolute moves do not land where the layout above says.
std::vector<std::string> StationArgs() {
  return {"--size", "640x360", "--cursor-interval-ms", "600000"};
}

TEST_F(OverlayOnXvfb, PanesSettingsStatisticsAndPlayHere) {
  StationProcess station(StationArgs());
  const fs::path fifo = dir_ / "run" / "ConfirmSessionEvent";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  StartZep(station.Port(), "en_US.UTF-8", false);
  EXPECT_FALSE(WaitForLog("Overlay language: English", 0).empty());

  // The overlay is drawn by the presentation thread; its first frame may follow the log line.
  const auto confirmShown = [](const Shot& s) {
    return DarkGrey(s.At(kPlayX + 8, kPlayY + 8)) && DarkGrey(s.At(kSecondX + 8, kPlayY + 8));
  };
  Shot shot = WaitShot(confirmShown);
  // The confirmation pane's two buttons: dark grey fill with a grey frame, labelled in white.
  EXPECT_TRUE(DarkGrey(shot.At(kPlayX + 8, kPlayY + 8)));
  EXPECT_TRUE(DarkGrey(shot.At(kSecondX + 8, kPlayY + 8)));
  EXPECT_TRUE(Near(shot.At(kPlayX, kPlayY + 35), {128, 128, 128}, 20));
  const int englishWidth = TextWidth(shot, kPlayX + 4, kPlayY + 4, 122, 62);
  EXPECT_GT(englishWidth, 40);

  Keys("ctrl+alt+r");  // the statistics table, top left, 520 wide
  shot = WaitShot([](const Shot& s) { return DarkGrey(s.At(535, 30)) && DarkGrey(s.At(535, 600)); });
  for (int y : {30, 200, 400, 600}) EXPECT_TRUE(DarkGrey(shot.At(535, y))) << y;

  Keys("ctrl+alt+d");
  const int gx = kColumn1, gy = RowY(3);
  shot = WaitShot([&](const Shot& s) { return Near(s.At(gx + 12, gy + 15), {0x60, 0x60, 0x60}, 16); });
  // The bound keys reach the station whole: R (0x13) and D (0x20) pressed and released, with the
  // plain key messages of Ctrl+Alt.
  for (const std::string key : {"\"scan_code\":19,", "\"scan_code\":32,"}) {
    const std::string vkey = key == "\"scan_code\":19," ? "82" : "68";
    EXPECT_GE(station.WaitForCount(key + "\"flags\":0,\"vkey\":" + vkey + ",\"message\":256", 1, 3000), 1u)
        << key;
    EXPECT_GE(station.WaitForCount(key + "\"flags\":1,\"vkey\":" + vkey + ",\"message\":257", 1, 3000), 1u)
        << key;
  }
  Screenshot("/tmp/zep-overlay-settings.ppm");
  // "Server FPS" (row 8, column 1) shows its stored index 3 chosen: the fourth of nine 30-px cells is blue.
  EXPECT_TRUE(Near(shot.At(kColumn1 + 3 * 30 + 4, RowY(1) + 4), {0x2F, 0x6F, 0xD0}, 16));
  EXPECT_TRUE(DarkGrey(shot.At(kColumn1 + 2 * 30 + 4, RowY(1) + 4)));
  // "Allow gamepad" (row 10, column 1, row 3) is off: the knob sits in the left half.
  EXPECT_TRUE(Near(shot.At(gx + 12, gy + 15), {0x60, 0x60, 0x60}, 16)) << shot.At(gx + 12, gy + 15);
  EXPECT_TRUE(DarkGrey(shot.At(gx + 52, gy + 15))) << shot.At(gx + 52, gy + 15);

  Click(gx + 50, gy + 15);
  shot = WaitShot([&](const Shot& s) { return Near(s.At(gx + 52, gy + 15), {0x2E, 0x9E, 0x5B}, 16); });
  EXPECT_TRUE(Near(shot.At(gx + 52, gy + 15), {0x2E, 0x9E, 0x5B}, 16)) << "knob did not move";
  EXPECT_TRUE(DarkGrey(shot.At(gx + 12, gy + 15)));
  const std::string stored = ReadFile(dir_ / "config" / "Ulmek" / "Zep" / "Runtime");
  EXPECT_NE(stored.find("AllowGamepadIndex=dword:1"), std::string::npos) << stored;
  EXPECT_FALSE(station.WaitForLine("\"allow-gamepad\"", 10000, "\"value\":4").empty()) << station.Log();
  // Clicks on the overlay stay with it: no mouse button reached the station.
  for (const std::string& l : station.Lines("\"name\":\"mouse\""))
    EXPECT_NE(l.find("\"button_flags\":0,"), std::string::npos) << l;

  Keys("ctrl+alt+d");  // settings away, then confirm the station
  char byte = 0;
  EXPECT_LE(read(reader, &byte, 1), 0);  // nothing written yet
  Click(kPlayX + 65, kPlayY + 35);
  const int64_t end = MonotonicUs() + 5000000;
  ssize_t got = 0;
  while ((got = read(reader, &byte, 1)) != 1 && MonotonicUs() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(got, 1);
  shot = Screenshot();
  EXPECT_FALSE(DarkGrey(shot.At(kPlayX + 8, kPlayY + 8)) && DarkGrey(shot.At(kSecondX + 8, kPlayY + 8)))
      << "the confirmation pane stayed";
  close(reader);

  // Russian: the same button carries a longer label, and "Try next" then "No" ends with exit code 1.
  StopZep();
  StartZep(station.Port(), "ru_RU.UTF-8", true);
  EXPECT_FALSE(WaitForLog("Overlay language: Russian", 0).empty());
  shot = WaitShot(confirmShown);
  EXPECT_GT(TextWidth(shot, kPlayX + 4, kPlayY + 4, 122, 62), englishWidth + 15);
  Click(kSecondX + 65, kPlayY + 35);
  // The leave pane, 400 x 170 in the centre: "No" is its second button.
  shot = WaitShot([](const Shot& s) { return DarkGrey(s.At(568 + 220 + 8, 347 + 90 + 8)); });
  EXPECT_TRUE(DarkGrey(shot.At(568 + 220 + 8, 347 + 90 + 8)));
  Click(568 + 220 + 65, 347 + 90 + 30);
  EXPECT_EQ(WaitExit(10000), 1);
}

// Ctrl+Alt+Z flips the presentation switch: the picture is drawn without the overlay until the next
// press. Ctrl+Shift+Q asks the leave question like the title bar's close button; it does not end
// the program, so a "Try next" chosen before is still the outcome.
TEST_F(OverlayOnXvfb, PresentationSwitchAndCtrlShiftQOpensTheLeavePane) {
  StationProcess station(StationArgs());
  StartZep(station.Port(), "en_US.UTF-8", true);
  // The leave pane, 400 x 170 in the centre: "No" is its second button, "X" its top right corner.
  auto leaveShown = [](const Shot& s) { return DarkGrey(s.At(568 + 220 + 8, 347 + 90 + 8)); };
  // Ctrl+Alt+Z first: the picture without the overlay, then the overlay again as it was.
  auto confirmShown = [](const Shot& s) { return DarkGrey(s.At(kPlayX + 8, kPlayY + 8)); };
  EXPECT_TRUE(confirmShown(WaitShot(confirmShown)));
  Keys("ctrl+alt+z");
  EXPECT_FALSE(confirmShown(WaitShot([&](const Shot& s) { return !confirmShown(s); })))
      << "the overlay stayed";
  EXPECT_FALSE(WaitForLog("Presentation switch on", 3000).empty());
  Keys("ctrl+alt+z");
  EXPECT_TRUE(confirmShown(WaitShot(confirmShown))) << "the overlay did not come back";
  EXPECT_GE(station.WaitForCount("\"vkey\":90,", 4, 3000), 4u);  // Z reached the station, twice
  Keys("ctrl+shift+q");
  EXPECT_TRUE(leaveShown(WaitShot(leaveShown))) << "no leave pane";
  EXPECT_EQ(WaitExit(1000), -1) << "zep ended";
  Click(968 - 25, 347 + 25);          // back to the station confirmation
  Click(kSecondX + 65, kPlayY + 35);  // "Try next"
  EXPECT_TRUE(leaveShown(WaitShot(leaveShown)));
  Keys("ctrl+shift+q");
  EXPECT_EQ(WaitExit(1000), -1) << "zep ended";
  Click(568 + 220 + 65, 347 + 90 + 30);  // "No"
  EXPECT_EQ(WaitExit(10000), 1);
}

// Under a Russian layout the letter keys type Cyrillic; the hot keys still work by the keys'
// places, as Windows' virtual keys do: Ctrl+V sends the clipboard and Ctrl+Alt+D opens the settings.
TEST_F(OverlayOnXvfb, HotKeysUnderARussianLayout) {
  if (access("/usr/bin/setxkbmap", X_OK) != 0 || access("/usr/bin/xclip", X_OK) != 0)
    GTEST_SKIP() << "needs setxkbmap (x11-xkb-utils) and xclip";
  // Our open display keeps the server from resetting the layout.
  ASSERT_EQ(std::system(("DISPLAY=" + display_ + " setxkbmap ru").c_str()), 0);
  StationProcess station(StationArgs());
  StartZep(station.Port(), "en_US.UTF-8", false);
  ASSERT_EQ(std::system(("printf 'Привет' | DISPLAY=" + display_ + " xclip -selection clipboard").c_str()),
            0);
  Keys("ctrl+Cyrillic_em");  // the V place
  const std::string clip = station.WaitForLine("\"name\":\"clipboard\"", 5000);
  ASSERT_FALSE(clip.empty()) << station.Log();
  EXPECT_EQ(StationProcess::StringField(clip, "text"), "Привет");
  EXPECT_EQ(StationProcess::NumberField(clip, "mode"), 0);

  Keys("ctrl+alt+Cyrillic_ve");  // the D place
  const int gx = kColumn1, gy = RowY(3);
  const Shot shot = WaitShot([&](const Shot& s) {
    return Near(s.At(gx + 12, gy + 15), {0x60, 0x60, 0x60}, 16);
  });
  EXPECT_TRUE(Near(shot.At(gx + 12, gy + 15), {0x60, 0x60, 0x60}, 16)) << "the settings did not open";
  EXPECT_TRUE(Near(shot.At(kColumn1 + 3 * 30 + 4, RowY(1) + 4), {0x2F, 0x6F, 0xD0}, 16));
}

}  // namespace
