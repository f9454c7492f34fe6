// The window-side capture rules: which events reach the station and with which mouse values.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "zep/input/InputCapture.h"

namespace input {
namespace {

// Wire records are packed: their fields cannot bind to the references the checks take, so the
// checks compare copies.
template <class T>
T Copy(T value) {
  return value;
}

class Capture : public ::testing::Test {
 protected:
  Capture()
      : capture_([this](const HUMAN_CONTROL_EVENT_PACKET& p) { return sent_.push_back(p), true; },
                 [this] { return scale_; }) {
    capture_.SetClientSize(1000, 500);
  }
  void Enter() {
    capture_.SetActive(true);
    capture_.SetPointerInside(true);
    sent_.clear();
  }
  std::vector<proto::HC_MOUSE_EVENT> Mice() const {
    std::vector<proto::HC_MOUSE_EVENT> out;
    for (const auto& p : sent_)
      if (p.Type() == 9) out.push_back(p.As<proto::HC_MOUSE_EVENT>());
    return out;
  }

  std::vector<HUMAN_CONTROL_EVENT_PACKET> sent_;
  InputCapture::Scale scale_;
  InputCapture capture_;
};

TEST_F(Capture, RelativeMovesCarryTheirFractions) {
  Enter();
  capture_.SetAbsolute(false);
  capture_.SetSpeedFactor(0.4);
  capture_.OnMotion(500, 250, 0, 0);
  sent_.clear();
  for (int i = 0; i < 5; ++i) capture_.OnMotion(500, 250, 1, -1);
  const auto m = Mice();
  ASSERT_EQ(m.size(), 5u);
  const double wantX[] = {0, 0, 1, 0, 1};
  double sumY = 0;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Copy(m[i].x), wantX[i]) << i;
    EXPECT_EQ(Copy(m[i].absolute), 0);
    sumY += m[i].y;
  }
  EXPECT_EQ(sumY, -2);
  // The default speed (10) of the system's pointer setting, and its ends.
  EXPECT_NEAR(MouseSpeedFactor(10), 1.6, 1e-6);
  EXPECT_NEAR(MouseSpeedFactor(20), 2.2, 1e-6);
  EXPECT_EQ(MouseSpeedFactor(0), 1.0);
}

TEST_F(Capture, AbsolutePositionsLandOnTheLetterboxedPicture) {
  Enter();
  scale_ = {0.8, 1.0};  // bands of 100 px left and right
  capture_.OnMotion(99, 250, 0, 0);
  capture_.OnMotion(901, 250, 0, 0);
  EXPECT_TRUE(Mice().empty());
  capture_.OnMotion(100, 0, 0, 0);
  capture_.OnMotion(500, 250, 0, 0);
  capture_.OnMotion(900, 500, 0, 0);
  const auto m = Mice();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_NEAR(Copy(m[0].x), 0.0, 1e-9);
  EXPECT_EQ(Copy(m[0].y), 0.0);
  EXPECT_NEAR(Copy(m[1].x), 0.5, 1e-9);
  EXPECT_EQ(Copy(m[1].y), 0.5);
  EXPECT_NEAR(Copy(m[2].x), 1.0, 1e-9);
  EXPECT_EQ(Copy(m[2].y), 1.0);
  EXPECT_EQ(Copy(m[1].absolute), 1);
  EXPECT_EQ(Copy(m[1].flags), 0u);
}

TEST_F(Capture, NothingLeavesWithoutFocusAndPointerAndTheOverlayKeepsOnlyTheMouse) {
  capture_.SetActive(true);  // the pointer is not inside yet
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].Type(), 4);
  sent_.clear();
  capture_.OnKey(SDL_SCANCODE_A, SDLK_a, true, {});
  capture_.OnMotion(10, 10, 0, 0);
  EXPECT_TRUE(sent_.empty());

  capture_.SetPointerInside(true);
  capture_.SetMouseHeld(true);
  capture_.OnMotion(10, 10, 0, 0);
  capture_.OnKey(SDL_SCANCODE_A, SDLK_a, true, {});
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].Type(), 10);
  capture_.SetMouseHeld(false);
  capture_.OnMotion(1001, 10, 0, 0);  // outside the client area
  EXPECT_EQ(sent_.size(), 1u);

  // Leaving the window and losing focus each release everything.
  sent_.clear();
  capture_.SetPointerInside(false);
  capture_.SetActive(false);
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0].Type(), 4);
  EXPECT_EQ(sent_[1].Type(), 4);
  EXPECT_EQ(Copy(sent_[1].bytes)[1], 0);
}

TEST_F(Capture, EveryPressTheStationSawGetsItsRelease) {
  Enter();
  scale_ = {0.8, 1.0};  // bands of 100 px left and right
  capture_.OnButton(SDL_BUTTON_LEFT, true, 500, 250);
  // The overlay takes the mouse and the pointer is over a band: the release still goes, held to
  // the picture's edge.
  capture_.SetMouseHeld(true);
  capture_.OnButton(SDL_BUTTON_LEFT, false, 50, 250);
  auto m = Mice();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(Copy(m[0].buttonFlags), 1u);
  EXPECT_EQ(Copy(m[1].buttonFlags), 2u);
  EXPECT_EQ(Copy(m[1].x), 0.0);
  EXPECT_EQ(Copy(m[1].y), 0.5);
  // A press the overlay took is not the station's: its release stays local too while held.
  capture_.OnButton(SDL_BUTTON_RIGHT, true, 500, 250);
  capture_.OnButton(SDL_BUTTON_RIGHT, false, 500, 250);
  EXPECT_EQ(Mice().size(), 2u);
  // Leaving the window released everything already: nothing is owed afterwards.
  capture_.SetMouseHeld(false);
  capture_.OnButton(SDL_BUTTON_MIDDLE, true, 500, 250);
  capture_.SetPointerInside(false);
  capture_.SetPointerInside(true);
  capture_.SetMouseHeld(true);
  capture_.OnButton(SDL_BUTTON_MIDDLE, false, 500, 250);
  m = Mice();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(Copy(m[2].buttonFlags), 0x10u);
}

TEST_F(Capture, EveryMouseEventStampsTheLastMouseInputTime) {
  std::atomic<int64_t> last{0};
  int64_t now = 1000;
  capture_.SetMouseClock(&last, [&] { return now; });
  capture_.OnMotion(10, 10, 0, 0);  // not active: nothing sent, the time is kept all the same
  EXPECT_TRUE(Mice().empty());
  EXPECT_EQ(last.load(), 1000);
  now = 2000;
  capture_.OnKey(SDL_SCANCODE_A, SDLK_a, true, {});
  EXPECT_EQ(last.load(), 1000);
  capture_.OnWheel(0, 1);
  EXPECT_EQ(last.load(), 2000);
  now = 3000;
  capture_.OnButton(SDL_BUTTON_LEFT, true, 10, 10);
  EXPECT_EQ(last.load(), 3000);
}

// Scan code, flags, virtual key and message of each keyboard record sent.
std::vector<std::array<uint32_t, 4>> KeyRecords(const std::vector<HUMAN_CONTROL_EVENT_PACKET>& sent) {
  std::vector<std::array<uint32_t, 4>> out;
  for (const auto& p : sent)
    if (p.Type() == 10) {
      const auto k = p.As<proto::HC_KEYBOARD_EVENT>();
      out.push_back({k.makeCode, k.flags, k.vkey, k.message});
    }
  return out;
}

TEST_F(Capture, AltGrIsLeftCtrlThenRightAltAndVirtualKeysFollowTheLayout) {
  Enter();
  // German AltGr+Q ('@'): left Ctrl, right Alt (E0), Q, all plain key messages; the release
  // lets both go although the layout is no longer asked.
  KeyModifiers altGr;
  altGr.altGr = true;
  KeyModifiers held;
  held.alt = true;  // SDL reports AltGr as the right Alt modifier
  capture_.OnKey(SDL_SCANCODE_RALT, SDLK_RALT, true, altGr);
  capture_.OnKey(SDL_SCANCODE_Q, SDLK_q, true, held);
  capture_.OnKey(SDL_SCANCODE_Q, SDLK_q, false, held);
  capture_.OnKey(SDL_SCANCODE_RALT, SDLK_RALT, false, {});
  using R = std::vector<std::array<uint32_t, 4>>;
  EXPECT_EQ(KeyRecords(sent_), (R{{0x1D, 0, 0x11, 0x100},
                                  {0x38, 2, 0x12, 0x100},
                                  {0x10, 0, 0x51, 0x100},
                                  {0x10, 1, 0x51, 0x101},
                                  {0x1D, 1, 0x11, 0x101},
                                  {0x38, 3, 0x12, 0x101}}));
  // Where the right Alt is a plain Alt (US), it is one system key, and Alt+Q is one too.
  sent_.clear();
  capture_.OnKey(SDL_SCANCODE_RALT, SDLK_RALT, true, {});
  capture_.OnKey(SDL_SCANCODE_Q, SDLK_q, true, held);
  EXPECT_EQ(KeyRecords(sent_), (R{{0x38, 2, 0x12, 0x104}, {0x10, 0, 0x51, 0x104}}));

  // German: the key in the Y place types 'z' and is VK 'Z'; its scan code stays 0x15. French:
  // the Q place types 'a' (VK 'A'), the semicolon place 'm' (VK 'M'), the M place ',' (VK_OEM_COMMA).
  // Russian: the V place types a Cyrillic letter and keeps VK 'V'. Digits stay digits (AZERTY).
  sent_.clear();
  capture_.OnKey(SDL_SCANCODE_Y, SDLK_z, true, {});
  capture_.OnKey(SDL_SCANCODE_Q, SDLK_a, true, {});
  capture_.OnKey(SDL_SCANCODE_SEMICOLON, SDLK_m, true, {});
  capture_.OnKey(SDL_SCANCODE_M, SDLK_COMMA, true, {});
  capture_.OnKey(SDL_SCANCODE_V, 0x43C, true, {});
  capture_.OnKey(SDL_SCANCODE_1, SDLK_AMPERSAND, true, {});
  capture_.OnKey(SDL_SCANCODE_MINUS, 0xDF, true, {});  // German sharp s: no Latin letter
  EXPECT_EQ(KeyRecords(sent_), (R{{0x15, 0, 0x5A, 0x100},
                                  {0x10, 0, 0x41, 0x100},
                                  {0x27, 0, 0x4D, 0x100},
                                  {0x32, 0, 0xBC, 0x100},
                                  {0x2F, 0, 0x56, 0x100},
                                  {0x02, 0, 0x31, 0x100},
                                  {0x0C, 0, 0xBD, 0x100}}));
}

}  // namespace
}  // namespace input
