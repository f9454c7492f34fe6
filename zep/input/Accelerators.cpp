#include "zep/input/Accelerators.h"

namespace input {
namespace {

constexpr Uint16 kCtrl = 1, kAlt = 2, kShift = 4;
constexpr uint16_t kVkBack = 0x08, kVkReturn = 0x0D, kVkInsert = 0x2D;

struct Binding {
  uint16_t vkey;
  Uint16 mods;
  Command command;
};

constexpr Binding kBindings[] = {
    {kVkBack, kAlt, kCmdToggleConfinement},     {'Z', kCtrl | kAlt, kCmdTogglePresentation},
    {'Q', kCtrl | kShift, kCmdClose},           {'R', kCtrl | kAlt, kCmdToggleStatistics},
    {'L', kCtrl | kAlt, kCmdToggleCaptureSize}, {'D', kCtrl | kAlt, kCmdToggleOverlay},
    {'V', kCtrl, kCmdClipboardPaste},           {kVkInsert, kShift, kCmdClipboardInsert},
    {kVkReturn, kAlt, kCmdToggleFullscreen},
};

}  // namespace

std::optional<Command> MatchAccelerator(uint16_t vkey, Uint16 modifiers) {
  const Uint16 mods =
      static_cast<Uint16>(((modifiers & KMOD_CTRL) ? kCtrl : 0) | ((modifiers & KMOD_ALT) ? kAlt : 0) |
                          ((modifiers & KMOD_SHIFT) ? kShift : 0));
  for (const Binding& b : kBindings)
    if (b.vkey == vkey && b.mods == mods) return b.command;
  return std::nullopt;
}

}  // namespace input
