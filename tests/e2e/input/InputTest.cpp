// The real zep under Xvfb against the reference station: keys, clicks, wheel, motion and the
// clipboard driven with xdotool and xclip arrive at the station with their exact values, and the
// station's cursor shapes become the X pointer. A virtual SDL game controller drives gamepad
// events through the real control sender and feels the station's vibration.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "tests/e2e/VirtualPad.h"
#include "tests/e2e/ZepOnXvfb.h"
#include "tests/e2e/input/XPointer.h"
#include "tests/integration/station/StationHarness.h"
#include "tools/station-sim/CursorShapes.h"
#include "zep/channels/ChannelThreads.h"
#include "zep/input/Gamepad.h"

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::StationProcess;

namespace {

using e2e::WaitUntil;

class ZepUnderX : public e2e::ZepOnXvfb {
 protected:
  ZepUnderX() : ZepOnXvfb("1280x800x24", {"xdotool", "xclip", "Xvfb"}, "zep-input-") {}
};

std::vector<std::string> Controls(const StationProcess& station, const std::string& name) {
  return station.Lines("\"name\":\"" + name + "\"");
}

// Scan code, flags, virtual key and message of the keyboard records from the n-th on.
std::vector<std::array<int64_t, 4>> KeyRecords(const StationProcess& station, std::size_t from = 0) {
  std::vector<std::array<int64_t, 4>> out;
  const auto keys = Controls(station, "keyboard");
  for (std::size_t i = from; i < keys.size(); ++i)
    out.push_back(
        {StationProcess::NumberField(keys[i], "scan_code"), StationProcess::NumberField(keys[i], "flags"),
         StationProcess::NumberField(keys[i], "vkey"), StationProcess::NumberField(keys[i], "message")});
  return out;
}
using Records = std::vector<std::array<int64_t, 4>>;

TEST_F(ZepUnderX, KeysMouseAndClipboardReachTheStationWithExactValues) {
  StationProcess station({"--size", "640x360", "--cursor-interval-ms", "60000"});
  StartZep(station.Port());
  ASSERT_FALSE(station.WaitForLine("\"channel\":\"control\"", 10000, "greeting").empty());
  // The window is 80 % of the screen (1024 x 640); the picture is stretched over it.
  EXPECT_EQ(Sh("xdotool getwindowgeometry " + window_ + " | grep Geometry"), "  Geometry: 1024x640");
  Sh("xdotool windowfocus --sync " + window_);
  Sh("xdotool mousemove --window " + window_ + " 100 100");
  ASSERT_FALSE(station.WaitForLine("\"name\":\"released\"", 5000).empty());
  // Away from the overlay's panes (the station confirmation sits at the bottom centre): where the
  // overlay holds the mouse, nothing reaches the station.
  Sh("xdotool mousemove --window " + window_ + " 256 160");
  ASSERT_FALSE(station.WaitForLine("\"x\":0.25,", 5000, "\"y\":0.25,").empty()) << station.Log();
  const std::string move = station.WaitForLine("\"x\":0.25,", 0, "\"y\":0.25,");
  EXPECT_NE(move.find("\"flags\":0,\"button_flags\":0,\"button_data\":0,\"raw_buttons\":0"),
            std::string::npos);
  EXPECT_NE(move.find("\"absolute\":1,\"extra\":0"), std::string::npos);

  Sh("xdotool key a key Pause key Print key KP_Enter click 1 click 3 click 4 click 5 click 7");
  const std::size_t keyCount = 2 + 4 + 2 + 2;
  ASSERT_GE(station.WaitForCount("\"name\":\"keyboard\"", keyCount, 5000), keyCount) << station.Log();
  ASSERT_GE(station.WaitForCount("\"button_flags\":2048", 1, 5000), 1u) << station.Log();
  // scan code, flags, virtual key, message.
  const std::vector<std::array<int, 4>> wantKeys = {
      {0x1E, 0, 0x41, 0x100}, {0x1E, 1, 0x41, 0x101}, {0x1D, 4, 0x13, 0x100}, {0x45, 0, 0xFF, 0x100},
      {0x1D, 5, 0x13, 0x101}, {0x45, 1, 0xFF, 0x101}, {0x37, 2, 0x2C, 0x100}, {0x37, 3, 0x2C, 0x101},
      {0x1C, 2, 0x0D, 0x100}, {0x1C, 3, 0x0D, 0x101}};
  const auto keys = Controls(station, "keyboard");
  ASSERT_EQ(keys.size(), wantKeys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    SCOPED_TRACE(keys[i]);
    EXPECT_EQ(StationProcess::NumberField(keys[i], "scan_code"), wantKeys[i][0]);
    EXPECT_EQ(StationProcess::NumberField(keys[i], "flags"), wantKeys[i][1]);
    EXPECT_EQ(StationProcess::NumberField(keys[i], "vkey"), wantKeys[i][2]);
    EXPECT_EQ(StationProcess::NumberField(keys[i], "message"), wantKeys[i][3]);
  }
  // Left down/up, right down/up, wheel up and down, wheel right; all at the pointer.
  std::vector<std::pair<int, int>> wantButtons = {{1, 0},      {2, 0},       {4, 0},     {8, 0},
                                                  {1024, 120}, {1024, -120}, {2048, 120}};
  std::vector<std::pair<int, int>> buttons;
  for (const auto& l : Controls(station, "mouse")) {
    if (StationProcess::NumberField(l, "button_flags") == 0) continue;
    buttons.push_back({static_cast<int>(StationProcess::NumberField(l, "button_flags")),
                       static_cast<int>(StationProcess::NumberField(l, "button_data"))});
    EXPECT_NE(l.find("\"x\":0.25,\"y\":0.25"), std::string::npos) << l;
  }
  EXPECT_EQ(buttons, wantButtons);

  // The clipboard hot key: the text arrives descrambled, cut to whole characters (6 units and 60
  // pairs; half of the 61st pair would fit but is not sent); Ctrl and V still reach the station.
  std::string text = "Grüße ";
  for (int i = 0; i < 100; ++i) text += "😀";
  Sh("printf '%s' '" + text + "' | xclip -selection clipboard >/dev/null 2>&1");
  Sh("xdotool key ctrl+v");
  const std::string clip = station.WaitForLine("\"name\":\"clipboard\"", 5000);
  ASSERT_FALSE(clip.empty()) << ZepLog();
  std::string want = "Grüße ";
  for (int i = 0; i < 60; ++i) want += "😀";
  EXPECT_EQ(StationProcess::StringField(clip, "text"), want);
  EXPECT_EQ(StationProcess::NumberField(clip, "mode"), 0);
  EXPECT_GE(station.WaitForCount("\"vkey\":86", 2, 2000), 2u);

  // Keys beyond the 105: browser Back (E0 6A, VK_BROWSER_BACK) and Volume Up (E0 30, VK_VOLUME_UP).
  const std::size_t keysBefore = Controls(station, "keyboard").size();
  Sh("xdotool key XF86Back XF86AudioRaiseVolume");
  ASSERT_GE(station.WaitForCount("\"name\":\"keyboard\"", keysBefore + 4, 5000), keysBefore + 4);
  EXPECT_EQ(
      KeyRecords(station, keysBefore),
      (Records{
          {0x6A, 2, 0xA6, 0x100}, {0x6A, 3, 0xA6, 0x101}, {0x30, 2, 0xAF, 0x100}, {0x30, 3, 0xAF, 0x101}}));

  // Leaving the window releases everything; keys typed outside it are not sent.
  const std::size_t releases = Controls(station, "released").size();
  Sh("xdotool mousemove 5 5");
  EXPECT_GE(station.WaitForCount("\"name\":\"released\"", releases + 1, 5000), releases + 1);
  Sh("xdotool key b");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(station.Lines("\"vkey\":66").empty());

  // Pressed over the picture, released over the station confirmation pane (bottom centre): the
  // overlay takes the release, and the station still gets it.
  const std::size_t ups = station.Lines("\"button_flags\":2,").size();
  Sh("xdotool mousemove --window " + window_ +
     " 256 160 sleep 0.2 mousedown 1 sleep 0.2 mousemove --window " + window_ +
     " 512 515 sleep 0.2 mouseup 1");
  EXPECT_GE(station.WaitForCount("\"button_flags\":2,", ups + 1, 5000), ups + 1) << station.Log();
}

// A game that hides the station's pointer gets movements, not positions: SDL's relative mode
// gives raw movements and the station gets them times the speed factor of Windows' default
// pointer speed (1.6). The overlay's panes still show the local pointer.
TEST_F(ZepUnderX, AHiddenStationPointerGivesRelativeMovesAndPanesShowThePointer) {
  StationProcess station({"--size", "320x180", "--cursor-interval-ms", "300", "--cursor-hidden"});
  StartZep(station.Port());
  Sh("xdotool windowfocus --sync " + window_);
  Sh("xdotool mousemove --window " + window_ + " 256 160");
  ASSERT_GE(station.WaitForCount("\"cursor_sent\"", 3, 10000), 3u) << station.Log();
  XPointerReader reader(x_.Display());
  ASSERT_TRUE(reader.Ok());
  auto blank = [&] {
    const PointerImage p = reader.Current();
    return std::all_of(p.argb.begin(), p.argb.end(), [](uint32_t v) { return (v >> 24) == 0; });
  };
  EXPECT_TRUE(WaitUntil(blank, 5000)) << "the station hid its pointer, the X pointer stayed visible";
  const std::size_t before = station.Lines("\"absolute\":0,").size();
  const std::size_t absoluteBefore = station.Lines("\"absolute\":1,").size();
  for (const char* move : {"10 0", "10 5", "10 -5"}) {
    Sh(std::string("xdotool mousemove_relative -- ") + move);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  WaitUntil([&] { return station.Lines("\"absolute\":0,").size() >= before + 3; }, 5000);
  double sumX = 0, sumY = 0;
  const auto moves = station.Lines("\"absolute\":0,");
  for (std::size_t i = before; i < moves.size(); ++i) {
    sumX += StationProcess::NumberField(moves[i], "x");
    sumY += StationProcess::NumberField(moves[i], "y");
  }
  EXPECT_GE(moves.size(), before + 3) << station.Log();
  EXPECT_EQ(sumX, 48);  // 30 counts x 1.6
  EXPECT_EQ(sumY, 0);   // 8 - 8
  EXPECT_EQ(station.Lines("\"absolute\":1,").size(), absoluteBefore) << "positions sent while hidden";

  // The settings open: the pointer shows, and stays shown while it moves over the panel, which
  // takes those events; closed again, the pointer hides.
  Sh("xdotool key ctrl+alt+d");
  EXPECT_TRUE(WaitUntil([&] { return !blank(); }, 5000)) << "no pointer over the settings";
  Sh("xdotool mousemove --window " + window_ + " 500 300 sleep 0.2 mousemove --window " + window_ +
     " 520 310");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(blank()) << "the pointer went blank over the settings panel";
  Sh("xdotool key ctrl+alt+d mousemove_relative 2 2");  // decided again at the next move
  EXPECT_TRUE(WaitUntil(blank, 5000));
}

// German and French layouts: virtual keys follow the layout, scan codes stay where the keys are,
// and AltGr arrives as Windows reports it (left Ctrl, then right Alt, plain key messages).
class ZepUnderLayout : public ZepUnderX {
 protected:
  // Starts zep under the layout against a new station, the pointer in the window.
  void StartUnder(const std::string& layout) {
    ASSERT_EQ(system(("DISPLAY=" + x_.Display() + " setxkbmap " + layout).c_str()), 0)
        << "setxkbmap (x11-xkb-utils)";
    station_ = std::make_unique<StationProcess>(
        std::vector<std::string>{"--size", "320x180", "--cursor-interval-ms", "60000"});
    StartZep(station_->Port());
    Sh("xdotool windowfocus --sync " + window_);
    Sh("xdotool mousemove --window " + window_ + " 256 160");
    ASSERT_FALSE(station_->WaitForLine("\"name\":\"mouse\"", 5000).empty()) << station_->Log();
  }
  std::unique_ptr<StationProcess> station_;
};

TEST_F(ZepUnderLayout, GermanAltGrAndQwertz) {
  StartUnder("de");
  // AltGr+Q ('@'), then the key that types z: the Y place (scan 0x15), VK 'Z'.
  Sh("xdotool key ISO_Level3_Shift+q z");
  ASSERT_GE(station_->WaitForCount("\"name\":\"keyboard\"", 8, 5000), 8u) << station_->Log();
  EXPECT_EQ(KeyRecords(*station_), (Records{{0x1D, 0, 0x11, 0x100},
                                            {0x38, 2, 0x12, 0x100},
                                            {0x10, 0, 0x51, 0x100},
                                            {0x1D, 1, 0x11, 0x101},
                                            {0x38, 3, 0x12, 0x101},
                                            {0x10, 1, 0x51, 0x101},
                                            {0x15, 0, 0x5A, 0x100},
                                            {0x15, 1, 0x5A, 0x101}}));
}

TEST_F(ZepUnderLayout, FrenchAzerty) {
  StartUnder("fr");
  // 'a' sits in the Q place (scan 0x10), 'm' in the semicolon place (0x27).
  Sh("xdotool key a m");
  ASSERT_GE(station_->WaitForCount("\"name\":\"keyboard\"", 4, 5000), 4u) << station_->Log();
  EXPECT_EQ(
      KeyRecords(*station_),
      (Records{
          {0x10, 0, 0x41, 0x100}, {0x10, 1, 0x41, 0x101}, {0x27, 0, 0x4D, 0x100}, {0x27, 1, 0x4D, 0x101}}));
}

TEST_F(ZepUnderX, TheStationsCursorShapesBecomeThePointer) {
  StationProcess station({"--size", "320x180", "--cursor-interval-ms", "400"});
  StartZep(station.Port());
  Sh("xdotool windowfocus --sync " + window_);
  Sh("xdotool mousemove --window " + window_ + " 300 300");
  XPointerReader reader(x_.Display());
  ASSERT_TRUE(reader.Ok());
  // The pointers seen, until the hidden pointer and both kinds of shape came. The station repeats
  // its shapes, so one that a loaded machine showed too briefly to be read comes round again.
  std::vector<PointerImage> seen;
  bool hidden = false, colourShown = false, maskedShown = false;
  WaitUntil(
      [&] {
        PointerImage p = reader.Current();
        const bool blank =
            std::all_of(p.argb.begin(), p.argb.end(), [](uint32_t v) { return (v >> 24) == 0; });
        if (blank) {
          hidden = true;
        } else if (p.width == 32 && (seen.empty() || seen.back().argb != p.argb)) {
          seen.push_back(p);
          maskedShown |= p.hotX == 16 && p.hotY == 16;
          colourShown |= p.hotX == 0 && p.hotY == 0 && p.argb[10 * 32 + 3] == 0xFFFFA020u;
        }
        return hidden && colourShown && maskedShown && station.Lines("\"cursor_sent\"").size() >= 7;
      },
      30000);
  EXPECT_TRUE(hidden) << "the station hid its pointer, the X pointer stayed visible";
  // The colour arrow (hot spot 0,0): its orange inside and its transparent outside, as sent.
  const station::CursorUpdate colour = station::ColourArrow();
  bool colourSeen = false, maskedSeen = false;
  for (const PointerImage& p : seen) {
    if (p.hotX == 16 && p.hotY == 16) {
      maskedSeen = true;
      EXPECT_EQ(p.argb[0], 0xFF000000u);             // alpha 0, black: painted
      EXPECT_EQ(p.argb[12 * 32 + 10], 0xFFFFFFFFu);  // XOR with white: shown as white
      EXPECT_EQ(p.argb[16 * 32 + 16], 0xFFC00000u);  // alpha 0 red cross
    } else if (p.argb[10 * 32 + 3] == 0xFFFFA020u) {
      colourSeen = true;
      for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
          const uint8_t* px = &colour.shape[y * colour.pitch + x * 4];
          const uint32_t want = px[3] ? (0xFF000000u | px[2] << 16 | px[1] << 8 | px[0]) : 0u;
          ASSERT_EQ(p.argb[y * 32 + x], want) << x << "," << y;
        }
    }
  }
  EXPECT_TRUE(colourSeen);
  EXPECT_TRUE(maskedSeen);
}

// A virtual controller in this process, the real gamepad poller and control sender, and the real
// API receiver taking the station's vibration to the controller's rumble.
TEST(GamepadE2e, VirtualControllerDrivesGamepadEventsAndFeelsVibration) {
  ASSERT_TRUE(input::InitGamepadSupport()) << SDL_GetError();
  static std::atomic<uint32_t> rumble{0};
  const int device = e2e::AttachVirtualPad([](void*, Uint16 low, Uint16 high) {
    rumble.store(static_cast<uint32_t>(low) << 16 | high);
    return 0;
  });
  ASSERT_GE(device, 0) << SDL_GetError();
  if (!SDL_IsGameController(device)) GTEST_SKIP() << "SDL gives the virtual joystick no controller mapping";
  SDL_Joystick* stick = SDL_JoystickOpen(device);
  ASSERT_NE(stick, nullptr);

  StationProcess station({"--at", "1000 vibrate 0 1000 2000", "--at", "1500 vibrate 3 5 5"});
  StationAddress address;
  address.address = "127.0.0.1";
  address.apiPort = static_cast<uint32_t>(station.Port(4));
  address.humanControlPort = static_cast<uint32_t>(station.Port(5));
  SessionShared shared;
  StatsTable table;
  input::GamepadHub hub;
  BlockingQueue<HUMAN_CONTROL_EVENT_PACKET> queue(shared.interrupt, 1024);
  ChannelContext context{address, shared, table};
  context.controlEvents = &queue;
  context.gamepad = &hub;
  std::thread poller([&] { input::XInputGrabberThreadProc(hub, queue, shared.interrupt); });
  std::thread sender([&] { KeyMouseGrabberThreadProc(context); });
  std::thread api([&] { ApiNetworkThreadProc(context); });
  struct Stop {
    SessionShared& shared;
    std::vector<std::thread*> threads;
    ~Stop() {
      shared.interrupt.Set();
      for (auto* t : threads) t->join();
    }
  } stop{shared, {&poller, &sender, &api}};

  // The resting controller is announced once; then A, right shoulder, a trigger and both sticks.
  ASSERT_FALSE(station.WaitForLine("\"name\":\"gamepad\"", 10000).empty()) << station.Log();
  SDL_JoystickSetVirtualButton(stick, SDL_CONTROLLER_BUTTON_A, 1);
  SDL_JoystickSetVirtualButton(stick, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, 1);
  SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_TRIGGERLEFT, 32767);
  SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_LEFTX, -32768);
  SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_LEFTY, 16000);    // down
  SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_RIGHTY, -32768);  // all the way up
  const std::string pressed = station.WaitForLine("\"buttons\":4608,", 5000, "\"ry\":32767");
  ASSERT_FALSE(pressed.empty()) << station.Log();
  EXPECT_NE(pressed.find("\"controller\":0,\"buttons\":4608,\"left_trigger\":255,\"right_trigger\":0,"
                         "\"lx\":-32768,\"ly\":-16000,\"rx\":0,\"ry\":32767"),
            std::string::npos)
      << pressed;
  const std::string first = Controls(station, "gamepad").front();
  EXPECT_NE(first.find("\"buttons\":0,\"left_trigger\":0,\"right_trigger\":0,\"lx\":0,\"ly\":0"),
            std::string::npos)
      << first;

  // Vibration for controller 0 reaches the rumble; one for an absent controller is dropped.
  EXPECT_TRUE(WaitUntil([] { return rumble.load() != 0; }, 5000)) << station.Log();
  EXPECT_EQ(rumble.load(), (1000u << 16) | 2000u);
  // Disabled (the window lost focus): the controller reads as released and stops rumbling.
  hub.SetEnabled(false);
  EXPECT_EQ(rumble.load(), 0u);
  EXPECT_FALSE(station.WaitForLine("\"buttons\":0,", 5000, "\"ry\":0").empty());
  SDL_JoystickClose(stick);
  SDL_JoystickDetachVirtual(device);
}

}  // namespace
