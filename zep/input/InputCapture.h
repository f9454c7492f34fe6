#pragma once
// The window side of input capture: the capture state (active, pointer inside, last position,
// client size, picture scale) and the rules that turn the window's key and mouse events into
// control events. Runs on the window's thread; the sink must not block.
#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "sov/protocol/Messages.h"
#include "zep/input/KeyTranslation.h"
#include "zep/input/MouseMapping.h"

namespace input {

class InputCapture {
 public:
  // Takes one event; false when it was dropped (a full queue). Never blocks.
  using Sink = std::function<bool(const HUMAN_CONTROL_EVENT_PACKET&)>;
  struct Scale {
    double x = 1.0;
    double y = 1.0;
  };
  using ScaleSource = std::function<Scale()>;

  InputCapture(Sink sink, ScaleSource scale);

  // Activation and the pointer leaving both tell the station that everything was let go.
  void SetActive(bool active);
  void SetPointerInside(bool inside);
  void SetClientSize(int width, int height);
  void SetAbsolute(bool absolute) { absolute_ = absolute; }
  // While set (the overlay owns the mouse) mouse events stay local, except the release of a
  // button whose press the station got; keys still go.
  void SetMouseHeld(bool held) { mouseHeld_ = held; }
  void SetSpeedFactor(double factor) { carry_.SetFactor(factor); }
  // Every mouse event stamps `lastMouseMs` with `nowMs()` before anything decides about it.
  void SetMouseClock(std::atomic<int64_t>* lastMouseMs, std::function<int64_t()> nowMs) {
    lastMouseMs_ = lastMouseMs;
    nowMs_ = std::move(nowMs);
  }

  // `layoutKey`: the key code the active layout gives the key (SDL's keysym).
  void OnKey(SDL_Scancode scancode, SDL_Keycode layoutKey, bool down, KeyModifiers mods);
  // Position in client pixels; the deltas count in relative mode only.
  void OnMotion(int x, int y, int dx, int dy);
  void OnButton(uint8_t button, bool down, int x, int y);
  // Notches; positive y away from the player, positive x to the right.
  void OnWheel(int notchesX, int notchesY);

  bool Active() const { return active_; }
  bool AltGrHeld() const { return altGrHeld_; }
  bool PointerInside() const { return inside_; }
  int LastX() const { return lastX_; }
  int LastY() const { return lastY_; }

 private:
  bool MouseAllowed() const;
  // `owed`: the release of a press the station saw, sent whatever holds the mouse.
  bool SendMouse(uint32_t buttonFlags, uint16_t buttonData, int dx, int dy, bool owed);

  void StampMouse() {
    if (lastMouseMs_ && nowMs_) lastMouseMs_->exchange(nowMs_());
  }

  Sink sink_;
  ScaleSource scale_;
  std::atomic<int64_t>* lastMouseMs_ = nullptr;
  std::function<int64_t()> nowMs_;
  bool active_ = false;
  bool inside_ = false;
  bool absolute_ = true;
  bool mouseHeld_ = false;
  bool altGrHeld_ = false;
  uint32_t pressedSent_ = 0;  // press flags of the buttons whose press was sent
  int width_ = 0;
  int height_ = 0;
  int lastX_ = -1;
  int lastY_ = -1;
  RelativeCarry carry_;
  std::vector<HUMAN_CONTROL_EVENT_PACKET> keys_;  // reused: the key path does not allocate
};

}  // namespace input
