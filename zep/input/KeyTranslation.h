#pragma once
// SDL key events as the station's keyboard expects them: set-1 scan codes with the E0/E1 and
// break flags, Windows virtual-key codes and the key message numbers a Windows keyboard gives.
#include <SDL.h>

#include <cstdint>
#include <vector>

#include "sov/protocol/Messages.h"

namespace input {

// Raw keyboard flags.
constexpr uint32_t kKeyMake = 0;
constexpr uint32_t kKeyBreak = 1;
constexpr uint32_t kKeyE0 = 2;
constexpr uint32_t kKeyE1 = 4;

// Key message numbers.
constexpr uint32_t kWmKeyDown = 0x100;
constexpr uint32_t kWmKeyUp = 0x101;
constexpr uint32_t kWmSysKeyDown = 0x104;
constexpr uint32_t kWmSysKeyUp = 0x105;

struct RawKey {
  uint16_t makeCode = 0;
  uint16_t flags = 0;  // kKeyE0 / kKeyE1; the break flag is added per event
  uint16_t vkey = 0;
};

struct KeyModifiers {
  bool alt = false;
  bool ctrl = false;
  bool numLock = false;
  // The layout's right Alt is AltGr: Windows reports it as a left Ctrl, then the right Alt, both
  // with the plain key messages.
  bool altGr = false;
};

// The raw records a press or release of the key gives: none for keys no Windows keyboard has, two for Pause
// (E1 1D, then 45 with the filler virtual key 0xFF).
std::vector<RawKey> TranslateScancode(SDL_Scancode scancode, bool numLock);

// The virtual key of a key as the active layout gives it, from its positional (US) one and the
// character the layout puts on it (SDL's key code): letters follow Latin layouts (the German Y
// key is VK 'Z'), and so do the comma, period, minus and plus keys; a non-Latin layout (Russian)
// keeps the positional keys, as Windows does.
uint16_t LayoutVirtualKey(uint16_t positionalVk, SDL_Keycode layoutKey);

// The virtual key a press of the key reports under the active layout; 0 for keys no Windows
// keyboard has.
uint16_t KeyVirtualKey(SDL_Scancode scancode, SDL_Keycode layoutKey, bool numLock);

// Keyboard events for one SDL key event, appended to `out`; `layoutKey` is the event's key code
// (SDLK_UNKNOWN: positional virtual keys). Alt without Ctrl (and F10) make the system key
// messages, as on Windows.
void AppendKeyEvents(SDL_Scancode scancode, SDL_Keycode layoutKey, bool down, KeyModifiers mods,
                     std::vector<HUMAN_CONTROL_EVENT_PACKET>& out);

}  // namespace input
