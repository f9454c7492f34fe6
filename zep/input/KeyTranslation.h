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
};

// The raw records a press or release of the key gives: none for keys no Windows keyboard has, two for Pause
// (E1 1D, then 45 with the filler virtual key 0xFF).
std::vector<RawKey> TranslateScancode(SDL_Scancode scancode, bool numLock);

// Keyboard events for one SDL key event, appended to `out`. Alt without Ctrl (and F10) make the
// system key messages, as on Windows.
void AppendKeyEvents(SDL_Scancode scancode, bool down, KeyModifiers mods,
                     std::vector<HUMAN_CONTROL_EVENT_PACKET>& out);

}  // namespace input
