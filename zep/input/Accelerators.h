#pragma once
// The window's key bindings. A bound key still reaches the station as a key event.
#include <SDL.h>

#include <cstdint>
#include <optional>

namespace input {

enum Command : int {
  kCmdTogglePresentation = 32773,  // Ctrl+Alt+Z
  kCmdClose = 32774,               // Ctrl+Shift+Q
  kCmdToggleCaptureSize = 32776,   // Ctrl+Alt+L
  kCmdToggleStatistics = 32777,    // Ctrl+Alt+R
  kCmdToggleConfinement = 32778,   // Alt+Backspace
  kCmdToggleOverlay = 32780,       // Ctrl+Alt+D
  kCmdClipboardPaste = 32786,      // Ctrl+V, clipboard mode 0
  kCmdClipboardInsert = 32787,     // Shift+Insert, clipboard mode 1
  kCmdToggleFullscreen = 1,        // Alt+Enter (the window's own, not a table command)
};

// The command bound to a key press with these modifiers (Ctrl, Alt and Shift must match exactly).
// Keys are Windows virtual keys as the active layout reports them (KeyVirtualKey), so the
// bindings work under any layout: under a Russian one the key in the V place is still VK 'V'.
std::optional<Command> MatchAccelerator(uint16_t vkey, Uint16 modifiers);

}  // namespace input
