#pragma once
// The overlay's hold on the window's input. The window asks the sink first: a mouse event it
// takes never reaches the station, and while it owns the mouse no mouse event does.
#include <SDL.h>

#include <atomic>
#include <cstdint>

namespace input {

class IInputSink {
 public:
  virtual ~IInputSink() = default;
  // Mouse motion, button and wheel events; true when the overlay used the event.
  virtual bool OnMouseEvent(const SDL_Event& e) = 0;
  // True while the overlay owns the mouse (a pane is open or the pointer is over a component).
  virtual bool OwnsMouse() const = 0;
  // True while the pointer is over one of the overlay's components (the pointer is then shown).
  virtual bool PointerOverComponent() const { return false; }
  // A window command (the Accelerators.h numbers); true when the overlay carried it out.
  virtual bool OnCommand(int command) {
    (void)command;
    return false;
  }
  // The player asked to close the window; true when the overlay asks for confirmation instead.
  virtual bool OnCloseRequested() { return false; }
};

// Where the pointer is and which buttons are down, for the overlay. Written by the window thread.
struct PointerShared {
  std::atomic<int32_t> x{-1};
  std::atomic<int32_t> y{-1};
  // Bit 1 left, bit 2 middle, bit 4 right; cleared by any button release.
  std::atomic<uint32_t> buttons{0};
};

}  // namespace input
