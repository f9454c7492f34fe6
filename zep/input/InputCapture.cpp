#include "zep/input/InputCapture.h"

#include <algorithm>

namespace input {
namespace {

uint16_t WheelData(int notches) {
  const int v = std::clamp(notches * kWheelDelta, -32768, 32767);
  return static_cast<uint16_t>(static_cast<int16_t>(v));
}

}  // namespace

InputCapture::InputCapture(Sink sink, ScaleSource scale) : sink_(std::move(sink)), scale_(std::move(scale)) {
  keys_.reserve(4);
}

void InputCapture::SetActive(bool active) {
  active_ = active;
  altGrHeld_ = false;
  pressedSent_ = 0;  // the release event lets everything go
  sink_(HUMAN_CONTROL_EVENT_PACKET::From(proto::HC_RELEASE_EVENT{}));
}

void InputCapture::SetPointerInside(bool inside) {
  if (!inside && inside_) {
    sink_(HUMAN_CONTROL_EVENT_PACKET::From(proto::HC_RELEASE_EVENT{}));
    pressedSent_ = 0;
  }
  inside_ = inside;
}

void InputCapture::SetClientSize(int width, int height) {
  width_ = width;
  height_ = height;
}

void InputCapture::OnKey(SDL_Scancode scancode, SDL_Keycode layoutKey, bool down, KeyModifiers mods) {
  if (scancode == SDL_SCANCODE_RALT) {
    // The release matches the press, whatever the layout says by then.
    if (!down) mods.altGr = altGrHeld_;
    altGrHeld_ = down && mods.altGr;
  }
  // While AltGr is held Windows counts Ctrl as down: the keys it shifts are no system keys.
  if (altGrHeld_) mods.ctrl = true;
  if (!active_ || !inside_) return;
  keys_.clear();
  AppendKeyEvents(scancode, layoutKey, down, mods, keys_);
  for (const auto& packet : keys_) sink_(packet);
}

bool InputCapture::MouseAllowed() const {
  return active_ && inside_ && !mouseHeld_ && lastX_ >= 0 && lastY_ >= 0 && lastX_ <= width_ &&
         lastY_ <= height_;
}

void InputCapture::OnMotion(int x, int y, int dx, int dy) {
  StampMouse();
  lastX_ = x;
  lastY_ = y;
  SendMouse(0, 0, dx, dy, false);
}

void InputCapture::OnButton(uint8_t button, bool down, int x, int y) {
  StampMouse();
  lastX_ = x;
  lastY_ = y;
  const uint32_t flags = ButtonFlags(button, down);
  if (flags == 0) return;
  const uint32_t pressFlag = ButtonFlags(button, true);
  if (down) {
    if (SendMouse(flags, 0, 0, 0, false)) pressedSent_ |= pressFlag;
    return;
  }
  // A press the station saw gets its release, wherever it happens (over a pane, a band).
  const bool owed = (pressedSent_ & pressFlag) != 0;
  pressedSent_ &= ~pressFlag;
  SendMouse(flags, 0, 0, 0, owed);
}

void InputCapture::OnWheel(int notchesX, int notchesY) {
  StampMouse();
  if (notchesY != 0) SendMouse(kMouseWheel, WheelData(notchesY), 0, 0, false);
  if (notchesX != 0) SendMouse(kMouseHWheel, WheelData(notchesX), 0, 0, false);
}

bool InputCapture::SendMouse(uint32_t buttonFlags, uint16_t buttonData, int dx, int dy, bool owed) {
  if (!owed && !MouseAllowed()) return false;
  proto::HC_MOUSE_EVENT e;
  e.buttonFlags = buttonFlags;
  e.buttonData = buttonData;
  e.absolute = absolute_ ? 1 : 0;
  if (absolute_) {
    const Scale s = scale_ ? scale_() : Scale{};
    auto p = MapOntoPicture(lastX_, lastY_, width_, height_, s.x, s.y);
    if (!p && owed) p = ClampOntoPicture(lastX_, lastY_, width_, height_, s.x, s.y);
    if (!p) return false;  // over a letter-box band
    e.x = p->x;
    e.y = p->y;
  } else {
    e.x = carry_.TakeX(dx);
    e.y = carry_.TakeY(dy);
  }
  return sink_(HUMAN_CONTROL_EVENT_PACKET::From(e));
}

}  // namespace input
