#pragma once
// Pointer positions and movements as the station's mouse expects them.
#include <cstdint>
#include <optional>

namespace input {

// Raw mouse button transition flags.
constexpr uint32_t kMouseLeftDown = 0x0001, kMouseLeftUp = 0x0002;
constexpr uint32_t kMouseRightDown = 0x0004, kMouseRightUp = 0x0008;
constexpr uint32_t kMouseMiddleDown = 0x0010, kMouseMiddleUp = 0x0020;
constexpr uint32_t kMouseButton4Down = 0x0040, kMouseButton4Up = 0x0080;
constexpr uint32_t kMouseButton5Down = 0x0100, kMouseButton5Up = 0x0200;
constexpr uint32_t kMouseWheel = 0x0400, kMouseHWheel = 0x0800;
// Wheel delta of one notch.
constexpr int kWheelDelta = 120;

// Transition flags of an SDL button (SDL_BUTTON_LEFT ...); 0 for buttons a raw mouse lacks.
uint32_t ButtonFlags(uint8_t sdlButton, bool down);

struct NormalisedPoint {
  double x = 0;
  double y = 0;
};

// Client position (x, y) in a W x H client area whose picture fills the shares sx, sy (centred)
// as a position of 0..1 on the picture; nothing over the letter-box bands.
std::optional<NormalisedPoint> MapOntoPicture(int x, int y, int width, int height, double sx, double sy);
// The same position held to the picture's edges (a point over a band lands on the nearest edge);
// nothing only for an empty client area or picture.
std::optional<NormalisedPoint> ClampOntoPicture(int x, int y, int width, int height, double sx, double sy);

// Whole movement counts from scaled deltas: what is below one count is carried to later moves,
// so no movement is lost (five moves of 0.4 send 0, 0, 1, 0, 1).
class RelativeCarry {
 public:
  // `factor` <= 0 counts as 1.
  void SetFactor(double factor) { factor_ = factor > 0 ? factor : 1.0; }
  int TakeX(int delta) { return Take(delta, remainderX_); }
  int TakeY(int delta) { return Take(delta, remainderY_); }

 private:
  int Take(int delta, double& remainder);
  double factor_ = 1.0;
  double remainderX_ = 0;
  double remainderY_ = 0;
};

// The system's pointer speed setting (1..20) as a movement factor: 1.0 at 1, 1.6 at 10, 2.2 at 20;
// any other value gives 1.0.
double MouseSpeedFactor(int speed);

}  // namespace input
