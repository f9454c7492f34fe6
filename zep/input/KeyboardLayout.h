#pragma once
// What the player's active keyboard layout makes of the right Alt key: a plain Alt (US) or AltGr,
// the third-level shift of most European layouts, which Windows reports as Ctrl+Alt.
#include <SDL.h>

namespace input {

class KeyboardLayout {
 public:
  explicit KeyboardLayout(SDL_Window* window) : window_(window) {}
  // Asks the display server each time: the player may switch layouts while playing. False where
  // the display server cannot say (no X11).
  bool RightAltIsAltGr();

 private:
  SDL_Window* window_;
  int rightAltKeycode_ = -1;  // the X key code named RALT; 0 when there is none
};

}  // namespace input
