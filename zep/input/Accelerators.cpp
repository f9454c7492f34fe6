#include "zep/input/Accelerators.h"

namespace input {
namespace {

constexpr Uint16 kCtrl = 1, kAlt = 2, kShift = 4;

struct Binding {
  SDL_Keycode key;
  Uint16 mods;
  Command command;
};

constexpr Binding kBindings[] = {
    {SDLK_BACKSPACE, kAlt, kCmdToggleConfinement}, {SDLK_z, kCtrl | kAlt, kCmdTogglePresentation},
    {SDLK_q, kCtrl | kShift, kCmdClose},           {SDLK_r, kCtrl | kAlt, kCmdToggleStatistics},
    {SDLK_l, kCtrl | kAlt, kCmdToggleCaptureSize}, {SDLK_d, kCtrl | kAlt, kCmdToggleOverlay},
    {SDLK_v, kCtrl, kCmdClipboardPaste},           {SDLK_INSERT, kShift, kCmdClipboardInsert},
    {SDLK_RETURN, kAlt, kCmdToggleFullscreen},     {SDLK_KP_ENTER, kAlt, kCmdToggleFullscreen},
};

}  // namespace

std::optional<Command> MatchAccelerator(SDL_Keycode key, Uint16 modifiers) {
  const Uint16 mods =
      static_cast<Uint16>(((modifiers & KMOD_CTRL) ? kCtrl : 0) | ((modifiers & KMOD_ALT) ? kAlt : 0) |
                          ((modifiers & KMOD_SHIFT) ? kShift : 0));
  for (const Binding& b : kBindings)
    if (b.key == key && b.mods == mods) return b.command;
  return std::nullopt;
}

}  // namespace input
