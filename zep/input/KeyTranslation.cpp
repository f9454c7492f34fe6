#include "zep/input/KeyTranslation.h"

namespace input {
namespace {

// Virtual-key codes that have no printable letter.
constexpr uint16_t kVkClear = 0x0C, kVkShift = 0x10, kVkControl = 0x11, kVkMenu = 0x12, kVkPause = 0x13;
constexpr uint16_t kVkPrior = 0x21, kVkNext = 0x22, kVkEnd = 0x23, kVkHome = 0x24, kVkLeft = 0x25;
constexpr uint16_t kVkUp = 0x26, kVkRight = 0x27, kVkDown = 0x28, kVkInsert = 0x2D, kVkDelete = 0x2E;
constexpr uint16_t kVkNumpad0 = 0x60, kVkDecimal = 0x6E, kVkF1 = 0x70;
// The keys whose meaning varies with the layout (VK_OEM_*).
constexpr uint16_t kVkOem1 = 0xBA, kVkOemPlus = 0xBB, kVkOemComma = 0xBC, kVkOemMinus = 0xBD;
constexpr uint16_t kVkOemPeriod = 0xBE, kVkOem3 = 0xC0, kVkOem4 = 0xDB, kVkOem8 = 0xDF, kVkOem102 = 0xE2;
// The filler virtual key of the second half of the Pause sequence.
constexpr uint16_t kVkFiller = 0xFF;

constexpr RawKey Plain(uint16_t make, uint16_t vk) {
  return RawKey{make, 0, vk};
}
constexpr RawKey Extended(uint16_t make, uint16_t vk) {
  return RawKey{make, kKeyE0, vk};
}

// Letters in SDL (alphabetical) order, as set-1 codes of their US positions.
constexpr uint8_t kLetterCodes[26] = {0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17,
                                      0x24, 0x25, 0x26, 0x32, 0x31, 0x18, 0x19, 0x10, 0x13,
                                      0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};
// Keypad 1..9 and 0 as set-1 codes, and the cursor keys they are without Num Lock.
constexpr uint8_t kKeypadCodes[10] = {0x4F, 0x50, 0x51, 0x4B, 0x4C, 0x4D, 0x47, 0x48, 0x49, 0x52};
constexpr uint16_t kKeypadCursorVk[10] = {kVkEnd,   kVkDown, kVkNext, kVkLeft,  kVkClear,
                                          kVkRight, kVkHome, kVkUp,   kVkPrior, kVkInsert};

RawKey Single(SDL_Scancode s, bool numLock, bool& known) {
  known = true;
  if (s >= SDL_SCANCODE_A && s <= SDL_SCANCODE_Z) {
    const int i = s - SDL_SCANCODE_A;
    return Plain(kLetterCodes[i], static_cast<uint16_t>('A' + i));
  }
  if (s >= SDL_SCANCODE_1 && s <= SDL_SCANCODE_0) {
    const int i = s - SDL_SCANCODE_1;  // 1..9, then 0
    return Plain(static_cast<uint16_t>(0x02 + i), static_cast<uint16_t>(i == 9 ? '0' : '1' + i));
  }
  if (s >= SDL_SCANCODE_F13 && s <= SDL_SCANCODE_F23) {  // F24 is apart: 0x76
    const int i = s - SDL_SCANCODE_F13;
    return Plain(static_cast<uint16_t>(0x64 + i), static_cast<uint16_t>(kVkF1 + 12 + i));
  }
  if (s >= SDL_SCANCODE_F1 && s <= SDL_SCANCODE_F10) {
    const int i = s - SDL_SCANCODE_F1;
    return Plain(static_cast<uint16_t>(0x3B + i), static_cast<uint16_t>(kVkF1 + i));
  }
  if (s >= SDL_SCANCODE_KP_1 && s <= SDL_SCANCODE_KP_0) {
    const int i = s - SDL_SCANCODE_KP_1;
    const uint16_t vk =
        numLock ? static_cast<uint16_t>(i == 9 ? kVkNumpad0 : kVkNumpad0 + 1 + i) : kKeypadCursorVk[i];
    return Plain(kKeypadCodes[i], vk);
  }
  switch (s) {
    case SDL_SCANCODE_RETURN:
      return Plain(0x1C, 0x0D);
    case SDL_SCANCODE_ESCAPE:
      return Plain(0x01, 0x1B);
    case SDL_SCANCODE_BACKSPACE:
      return Plain(0x0E, 0x08);
    case SDL_SCANCODE_TAB:
      return Plain(0x0F, 0x09);
    case SDL_SCANCODE_SPACE:
      return Plain(0x39, 0x20);
    case SDL_SCANCODE_MINUS:
      return Plain(0x0C, 0xBD);
    case SDL_SCANCODE_EQUALS:
      return Plain(0x0D, 0xBB);
    case SDL_SCANCODE_LEFTBRACKET:
      return Plain(0x1A, 0xDB);
    case SDL_SCANCODE_RIGHTBRACKET:
      return Plain(0x1B, 0xDD);
    case SDL_SCANCODE_BACKSLASH:
      return Plain(0x2B, 0xDC);
    case SDL_SCANCODE_NONUSHASH:
      return Plain(0x2B, 0xDC);
    case SDL_SCANCODE_SEMICOLON:
      return Plain(0x27, 0xBA);
    case SDL_SCANCODE_APOSTROPHE:
      return Plain(0x28, 0xDE);
    case SDL_SCANCODE_GRAVE:
      return Plain(0x29, 0xC0);
    case SDL_SCANCODE_COMMA:
      return Plain(0x33, 0xBC);
    case SDL_SCANCODE_PERIOD:
      return Plain(0x34, 0xBE);
    case SDL_SCANCODE_SLASH:
      return Plain(0x35, 0xBF);
    case SDL_SCANCODE_NONUSBACKSLASH:
      return Plain(0x56, 0xE2);
    case SDL_SCANCODE_CAPSLOCK:
      return Plain(0x3A, 0x14);
    case SDL_SCANCODE_F11:
      return Plain(0x57, 0x7A);
    case SDL_SCANCODE_F12:
      return Plain(0x58, 0x7B);
    case SDL_SCANCODE_PRINTSCREEN:
      return Extended(0x37, 0x2C);
    case SDL_SCANCODE_SCROLLLOCK:
      return Plain(0x46, 0x91);
    case SDL_SCANCODE_INSERT:
      return Extended(0x52, kVkInsert);
    case SDL_SCANCODE_HOME:
      return Extended(0x47, kVkHome);
    case SDL_SCANCODE_PAGEUP:
      return Extended(0x49, kVkPrior);
    case SDL_SCANCODE_DELETE:
      return Extended(0x53, kVkDelete);
    case SDL_SCANCODE_END:
      return Extended(0x4F, kVkEnd);
    case SDL_SCANCODE_PAGEDOWN:
      return Extended(0x51, kVkNext);
    case SDL_SCANCODE_RIGHT:
      return Extended(0x4D, kVkRight);
    case SDL_SCANCODE_LEFT:
      return Extended(0x4B, kVkLeft);
    case SDL_SCANCODE_DOWN:
      return Extended(0x50, kVkDown);
    case SDL_SCANCODE_UP:
      return Extended(0x48, kVkUp);
    case SDL_SCANCODE_NUMLOCKCLEAR:
      return Plain(0x45, 0x90);
    case SDL_SCANCODE_KP_DIVIDE:
      return Extended(0x35, 0x6F);
    case SDL_SCANCODE_KP_MULTIPLY:
      return Plain(0x37, 0x6A);
    case SDL_SCANCODE_KP_MINUS:
      return Plain(0x4A, 0x6D);
    case SDL_SCANCODE_KP_PLUS:
      return Plain(0x4E, 0x6B);
    case SDL_SCANCODE_KP_ENTER:
      return Extended(0x1C, 0x0D);
    case SDL_SCANCODE_KP_PERIOD:
      return Plain(0x53, numLock ? kVkDecimal : kVkDelete);
    case SDL_SCANCODE_APPLICATION:
      return Extended(0x5D, 0x5D);
    case SDL_SCANCODE_LCTRL:
      return Plain(0x1D, kVkControl);
    case SDL_SCANCODE_LSHIFT:
      return Plain(0x2A, kVkShift);
    case SDL_SCANCODE_LALT:
      return Plain(0x38, kVkMenu);
    case SDL_SCANCODE_LGUI:
      return Extended(0x5B, 0x5B);
    case SDL_SCANCODE_RCTRL:
      return Extended(0x1D, kVkControl);
    case SDL_SCANCODE_RSHIFT:
      return Plain(0x36, kVkShift);
    case SDL_SCANCODE_RALT:
      return Extended(0x38, kVkMenu);
    case SDL_SCANCODE_RGUI:
      return Extended(0x5C, 0x5C);
    // Keys beyond the 105: the keypad's equals sign, F13..F24, the Brazilian, Japanese and Korean
    // keys, and the media and browser keys (extended codes, with their own virtual keys).
    case SDL_SCANCODE_KP_EQUALS:
      return Plain(0x59, kVkClear);
    case SDL_SCANCODE_INTERNATIONAL1:  // Brazilian /? and Japanese Ro share the key
      return Plain(0x73, 0xC1);
    case SDL_SCANCODE_KP_COMMA:  // the Brazilian keypad's second decimal key
      return Plain(0x7E, 0xC2);
    case SDL_SCANCODE_INTERNATIONAL2:  // Katakana/Hiragana
      return Plain(0x70, 0xF2);
    case SDL_SCANCODE_INTERNATIONAL3:  // Yen
      return Plain(0x7D, 0xDC);
    case SDL_SCANCODE_INTERNATIONAL4:  // Henkan
      return Plain(0x79, 0x1C);
    case SDL_SCANCODE_INTERNATIONAL5:  // Muhenkan
      return Plain(0x7B, 0x1D);
    case SDL_SCANCODE_LANG1:  // Hangul/English
      return Plain(0xF2, 0x15);
    case SDL_SCANCODE_LANG2:  // Hanja
      return Plain(0xF1, 0x19);
    case SDL_SCANCODE_LANG3:  // Katakana
      return Plain(0x78, 0xF1);
    case SDL_SCANCODE_LANG4:  // Hiragana
      return Plain(0x77, 0xF2);
    case SDL_SCANCODE_LANG5:  // Zenkaku/Hankaku
      return Plain(0x76, 0xF3);
    case SDL_SCANCODE_F24:
      return Plain(0x76, 0x87);
    case SDL_SCANCODE_MUTE:
    case SDL_SCANCODE_AUDIOMUTE:
      return Extended(0x20, 0xAD);
    case SDL_SCANCODE_VOLUMEDOWN:
      return Extended(0x2E, 0xAE);
    case SDL_SCANCODE_VOLUMEUP:
      return Extended(0x30, 0xAF);
    case SDL_SCANCODE_AUDIONEXT:
      return Extended(0x19, 0xB0);
    case SDL_SCANCODE_AUDIOPREV:
      return Extended(0x10, 0xB1);
    case SDL_SCANCODE_AUDIOSTOP:
      return Extended(0x24, 0xB2);
    case SDL_SCANCODE_AUDIOPLAY:
      return Extended(0x22, 0xB3);
    case SDL_SCANCODE_MAIL:
      return Extended(0x6C, 0xB4);
    case SDL_SCANCODE_MEDIASELECT:
      return Extended(0x6D, 0xB5);
    case SDL_SCANCODE_COMPUTER:
      return Extended(0x6B, 0xB6);
    case SDL_SCANCODE_CALCULATOR:
      return Extended(0x21, 0xB7);
    case SDL_SCANCODE_SLEEP:
      return Extended(0x5F, 0x5F);
    case SDL_SCANCODE_AC_SEARCH:
      return Extended(0x65, 0xAA);
    case SDL_SCANCODE_AC_BOOKMARKS:
      return Extended(0x66, 0xAB);
    case SDL_SCANCODE_AC_REFRESH:
      return Extended(0x67, 0xA8);
    case SDL_SCANCODE_AC_STOP:
      return Extended(0x68, 0xA9);
    case SDL_SCANCODE_AC_FORWARD:
      return Extended(0x69, 0xA7);
    case SDL_SCANCODE_AC_BACK:
      return Extended(0x6A, 0xA6);
    case SDL_SCANCODE_AC_HOME:
      return Extended(0x32, 0xAC);
    default:
      known = false;
      return {};
  }
}

}  // namespace

std::vector<RawKey> TranslateScancode(SDL_Scancode scancode, bool numLock) {
  if (scancode == SDL_SCANCODE_PAUSE) return {RawKey{0x1D, kKeyE1, kVkPause}, Plain(0x45, kVkFiller)};
  bool known = false;
  const RawKey key = Single(scancode, numLock, known);
  if (!known) return {};
  return {key};
}

uint16_t LayoutVirtualKey(uint16_t positionalVk, SDL_Keycode layoutKey) {
  const bool letter = positionalVk >= 'A' && positionalVk <= 'Z';
  const bool oem = (positionalVk >= kVkOem1 && positionalVk <= kVkOem3) ||
                   (positionalVk >= kVkOem4 && positionalVk <= kVkOem8) || positionalVk == kVkOem102;
  if (!letter && !oem) return positionalVk;
  if (layoutKey >= 'a' && layoutKey <= 'z') return static_cast<uint16_t>('A' + (layoutKey - 'a'));
  switch (layoutKey) {
    case ',':
      return kVkOemComma;
    case '.':
      return kVkOemPeriod;
    case '-':
      return kVkOemMinus;
    case '+':
      return kVkOemPlus;
    default:
      return positionalVk;
  }
}

uint16_t KeyVirtualKey(SDL_Scancode scancode, SDL_Keycode layoutKey, bool numLock) {
  const std::vector<RawKey> keys = TranslateScancode(scancode, numLock);
  return keys.empty() ? 0 : LayoutVirtualKey(keys.front().vkey, layoutKey);
}

void AppendKeyEvents(SDL_Scancode scancode, SDL_Keycode layoutKey, bool down, KeyModifiers mods,
                     std::vector<HUMAN_CONTROL_EVENT_PACKET>& out) {
  const bool altGr = mods.altGr && scancode == SDL_SCANCODE_RALT;
  const bool isAlt = scancode == SDL_SCANCODE_LALT || scancode == SDL_SCANCODE_RALT;
  const bool system = !altGr && (((mods.alt || isAlt) && !mods.ctrl) || scancode == SDL_SCANCODE_F10);
  auto add = [&](const RawKey& key) {
    proto::HC_KEYBOARD_EVENT e;
    e.makeCode = key.makeCode;
    e.flags = key.flags | (down ? kKeyMake : kKeyBreak);
    e.vkey = key.vkey;
    e.message = down ? (system ? kWmSysKeyDown : kWmKeyDown) : (system ? kWmSysKeyUp : kWmKeyUp);
    out.push_back(HUMAN_CONTROL_EVENT_PACKET::From(e));
  };
  if (altGr) add(Plain(0x1D, kVkControl));  // the left Ctrl Windows adds to AltGr
  for (RawKey key : TranslateScancode(scancode, mods.numLock)) {
    key.vkey = LayoutVirtualKey(key.vkey, layoutKey);
    add(key);
  }
}

}  // namespace input
