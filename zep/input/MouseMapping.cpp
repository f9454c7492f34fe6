#include "zep/input/MouseMapping.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>

namespace input {

uint32_t ButtonFlags(uint8_t sdlButton, bool down) {
  switch (sdlButton) {
    case SDL_BUTTON_LEFT:
      return down ? kMouseLeftDown : kMouseLeftUp;
    case SDL_BUTTON_RIGHT:
      return down ? kMouseRightDown : kMouseRightUp;
    case SDL_BUTTON_MIDDLE:
      return down ? kMouseMiddleDown : kMouseMiddleUp;
    case SDL_BUTTON_X1:
      return down ? kMouseButton4Down : kMouseButton4Up;
    case SDL_BUTTON_X2:
      return down ? kMouseButton5Down : kMouseButton5Up;
    default:
      return 0;
  }
}

std::optional<NormalisedPoint> ClampOntoPicture(int x, int y, int width, int height, double sx, double sy) {
  if (width <= 0 || height <= 0 || sx <= 0 || sy <= 0) return std::nullopt;
  const double mx = sx < 1 ? (1 - sx) * width / 2 : 0;
  const double my = sy < 1 ? (1 - sy) * height / 2 : 0;
  return NormalisedPoint{std::clamp((x - mx) / (width * sx), 0.0, 1.0),
                         std::clamp((y - my) / (height * sy), 0.0, 1.0)};
}

std::optional<NormalisedPoint> MapOntoPicture(int x, int y, int width, int height, double sx, double sy) {
  if (width <= 0 || height <= 0 || sx <= 0 || sy <= 0) return std::nullopt;
  const double mx = sx < 1 ? (1 - sx) * width / 2 : 0;
  const double my = sy < 1 ? (1 - sy) * height / 2 : 0;
  NormalisedPoint p{(x - mx) / (width * sx), (y - my) / (height * sy)};
  if (p.x < 0 || p.x > 1 || p.y < 0 || p.y > 1) return std::nullopt;
  return p;
}

int RelativeCarry::Take(int delta, double& remainder) {
  // Sums of binary fractions like 0.4 fall a hair short of a whole count; do not lose it.
  constexpr double kSlack = 1e-9;
  const double a = delta * factor_;
  const double whole = std::floor(a);
  remainder += a - whole;
  double carried = 0;
  if (remainder >= 1 - kSlack) {
    carried = std::floor(remainder + kSlack);
    remainder = std::max(0.0, remainder - carried);
  }
  return static_cast<int>(whole + carried);
}

double MouseSpeedFactor(int speed) {
  if (speed < 1 || speed > 20) return 1.0;
  const double t = speed - 1;
  return 1 + 0.0698245614035088 * t - 0.000350877192982457 * t * t;
}

}  // namespace input
