// Key events against the set-1 scan codes and virtual keys of a 105-key (ISO) Windows keyboard.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "zep/input/KeyTranslation.h"

namespace input {
namespace {

// Wire records are packed: their fields cannot bind to the references the checks take, so the
// checks compare copies.
template <class T>
T Copy(T value) {
  return value;
}

struct Key {
  SDL_Scancode sdl;
  uint16_t make;  // set 1; 0xE0xx for the extended keys
  uint16_t vkey;
};

// The keyboard row by row, as a Windows keyboard reports it (Num Lock on).
const Key kLayout[] = {
    {SDL_SCANCODE_ESCAPE, 0x01, 0x1B},
    {SDL_SCANCODE_F1, 0x3B, 0x70},
    {SDL_SCANCODE_F2, 0x3C, 0x71},
    {SDL_SCANCODE_F3, 0x3D, 0x72},
    {SDL_SCANCODE_F4, 0x3E, 0x73},
    {SDL_SCANCODE_F5, 0x3F, 0x74},
    {SDL_SCANCODE_F6, 0x40, 0x75},
    {SDL_SCANCODE_F7, 0x41, 0x76},
    {SDL_SCANCODE_F8, 0x42, 0x77},
    {SDL_SCANCODE_F9, 0x43, 0x78},
    {SDL_SCANCODE_F10, 0x44, 0x79},
    {SDL_SCANCODE_F11, 0x57, 0x7A},
    {SDL_SCANCODE_F12, 0x58, 0x7B},
    {SDL_SCANCODE_PRINTSCREEN, 0xE037, 0x2C},
    {SDL_SCANCODE_SCROLLLOCK, 0x46, 0x91},
    // Digits row.
    {SDL_SCANCODE_GRAVE, 0x29, 0xC0},
    {SDL_SCANCODE_1, 0x02, '1'},
    {SDL_SCANCODE_2, 0x03, '2'},
    {SDL_SCANCODE_3, 0x04, '3'},
    {SDL_SCANCODE_4, 0x05, '4'},
    {SDL_SCANCODE_5, 0x06, '5'},
    {SDL_SCANCODE_6, 0x07, '6'},
    {SDL_SCANCODE_7, 0x08, '7'},
    {SDL_SCANCODE_8, 0x09, '8'},
    {SDL_SCANCODE_9, 0x0A, '9'},
    {SDL_SCANCODE_0, 0x0B, '0'},
    {SDL_SCANCODE_MINUS, 0x0C, 0xBD},
    {SDL_SCANCODE_EQUALS, 0x0D, 0xBB},
    {SDL_SCANCODE_BACKSPACE, 0x0E, 0x08},
    // Q row.
    {SDL_SCANCODE_TAB, 0x0F, 0x09},
    {SDL_SCANCODE_Q, 0x10, 'Q'},
    {SDL_SCANCODE_W, 0x11, 'W'},
    {SDL_SCANCODE_E, 0x12, 'E'},
    {SDL_SCANCODE_R, 0x13, 'R'},
    {SDL_SCANCODE_T, 0x14, 'T'},
    {SDL_SCANCODE_Y, 0x15, 'Y'},
    {SDL_SCANCODE_U, 0x16, 'U'},
    {SDL_SCANCODE_I, 0x17, 'I'},
    {SDL_SCANCODE_O, 0x18, 'O'},
    {SDL_SCANCODE_P, 0x19, 'P'},
    {SDL_SCANCODE_LEFTBRACKET, 0x1A, 0xDB},
    {SDL_SCANCODE_RIGHTBRACKET, 0x1B, 0xDD},
    {SDL_SCANCODE_RETURN, 0x1C, 0x0D},
    // A row (ISO: the # key sits left of Enter).
    {SDL_SCANCODE_CAPSLOCK, 0x3A, 0x14},
    {SDL_SCANCODE_A, 0x1E, 'A'},
    {SDL_SCANCODE_S, 0x1F, 'S'},
    {SDL_SCANCODE_D, 0x20, 'D'},
    {SDL_SCANCODE_F, 0x21, 'F'},
    {SDL_SCANCODE_G, 0x22, 'G'},
    {SDL_SCANCODE_H, 0x23, 'H'},
    {SDL_SCANCODE_J, 0x24, 'J'},
    {SDL_SCANCODE_K, 0x25, 'K'},
    {SDL_SCANCODE_L, 0x26, 'L'},
    {SDL_SCANCODE_SEMICOLON, 0x27, 0xBA},
    {SDL_SCANCODE_APOSTROPHE, 0x28, 0xDE},
    {SDL_SCANCODE_NONUSHASH, 0x2B, 0xDC},
    // Z row (ISO: the extra key right of left Shift).
    {SDL_SCANCODE_LSHIFT, 0x2A, 0x10},
    {SDL_SCANCODE_NONUSBACKSLASH, 0x56, 0xE2},
    {SDL_SCANCODE_Z, 0x2C, 'Z'},
    {SDL_SCANCODE_X, 0x2D, 'X'},
    {SDL_SCANCODE_C, 0x2E, 'C'},
    {SDL_SCANCODE_V, 0x2F, 'V'},
    {SDL_SCANCODE_B, 0x30, 'B'},
    {SDL_SCANCODE_N, 0x31, 'N'},
    {SDL_SCANCODE_M, 0x32, 'M'},
    {SDL_SCANCODE_COMMA, 0x33, 0xBC},
    {SDL_SCANCODE_PERIOD, 0x34, 0xBE},
    {SDL_SCANCODE_SLASH, 0x35, 0xBF},
    {SDL_SCANCODE_RSHIFT, 0x36, 0x10},
    // Bottom row.
    {SDL_SCANCODE_LCTRL, 0x1D, 0x11},
    {SDL_SCANCODE_LGUI, 0xE05B, 0x5B},
    {SDL_SCANCODE_LALT, 0x38, 0x12},
    {SDL_SCANCODE_SPACE, 0x39, 0x20},
    {SDL_SCANCODE_RALT, 0xE038, 0x12},
    {SDL_SCANCODE_RGUI, 0xE05C, 0x5C},
    {SDL_SCANCODE_APPLICATION, 0xE05D, 0x5D},
    {SDL_SCANCODE_RCTRL, 0xE01D, 0x11},
    // Navigation block and arrows.
    {SDL_SCANCODE_INSERT, 0xE052, 0x2D},
    {SDL_SCANCODE_HOME, 0xE047, 0x24},
    {SDL_SCANCODE_PAGEUP, 0xE049, 0x21},
    {SDL_SCANCODE_DELETE, 0xE053, 0x2E},
    {SDL_SCANCODE_END, 0xE04F, 0x23},
    {SDL_SCANCODE_PAGEDOWN, 0xE051, 0x22},
    {SDL_SCANCODE_UP, 0xE048, 0x26},
    {SDL_SCANCODE_LEFT, 0xE04B, 0x25},
    {SDL_SCANCODE_DOWN, 0xE050, 0x28},
    {SDL_SCANCODE_RIGHT, 0xE04D, 0x27},
    // Keypad.
    {SDL_SCANCODE_NUMLOCKCLEAR, 0x45, 0x90},
    {SDL_SCANCODE_KP_DIVIDE, 0xE035, 0x6F},
    {SDL_SCANCODE_KP_MULTIPLY, 0x37, 0x6A},
    {SDL_SCANCODE_KP_MINUS, 0x4A, 0x6D},
    {SDL_SCANCODE_KP_7, 0x47, 0x67},
    {SDL_SCANCODE_KP_8, 0x48, 0x68},
    {SDL_SCANCODE_KP_9, 0x49, 0x69},
    {SDL_SCANCODE_KP_PLUS, 0x4E, 0x6B},
    {SDL_SCANCODE_KP_4, 0x4B, 0x64},
    {SDL_SCANCODE_KP_5, 0x4C, 0x65},
    {SDL_SCANCODE_KP_6, 0x4D, 0x66},
    {SDL_SCANCODE_KP_1, 0x4F, 0x61},
    {SDL_SCANCODE_KP_2, 0x50, 0x62},
    {SDL_SCANCODE_KP_3, 0x51, 0x63},
    {SDL_SCANCODE_KP_ENTER, 0xE01C, 0x0D},
    {SDL_SCANCODE_KP_0, 0x52, 0x60},
    {SDL_SCANCODE_KP_PERIOD, 0x53, 0x6E},
};

std::vector<proto::HC_KEYBOARD_EVENT> Events(SDL_Scancode s, bool down, KeyModifiers mods = {}) {
  std::vector<HUMAN_CONTROL_EVENT_PACKET> packets;
  AppendKeyEvents(s, SDLK_UNKNOWN, down, mods, packets);
  std::vector<proto::HC_KEYBOARD_EVENT> out;
  for (const auto& p : packets) {
    EXPECT_EQ(p.Type(), 10);
    out.push_back(p.As<proto::HC_KEYBOARD_EVENT>());
  }
  return out;
}

TEST(KeyTranslation, EveryKeyOfTheIsoLayoutPressAndRelease) {
  // 104 keys here and Pause below.
  ASSERT_EQ(std::size(kLayout), 104u);
  std::set<std::pair<uint16_t, uint16_t>> seen;
  KeyModifiers numLock;
  numLock.numLock = true;
  for (const Key& k : kLayout) {
    SCOPED_TRACE(SDL_GetScancodeName(k.sdl));
    const bool extended = (k.make & 0xFF00) == 0xE000;
    const bool alt = k.sdl == SDL_SCANCODE_LALT || k.sdl == SDL_SCANCODE_RALT || k.sdl == SDL_SCANCODE_F10;
    for (bool down : {true, false}) {
      const auto e = Events(k.sdl, down, numLock);
      ASSERT_EQ(e.size(), 1u);
      EXPECT_EQ(Copy(e[0].makeCode), k.make & 0xFFu);
      EXPECT_EQ(Copy(e[0].flags), (extended ? 2u : 0u) | (down ? 0u : 1u));
      EXPECT_EQ(Copy(e[0].vkey), k.vkey);
      EXPECT_EQ(Copy(e[0].message), alt ? (down ? 0x104u : 0x105u) : (down ? 0x100u : 0x101u));
      EXPECT_EQ(Copy(e[0].extraInformation), 0u);
    }
    // The ISO # key shares its code with the US backslash, which a 105-key board lacks.
    if (k.sdl != SDL_SCANCODE_NONUSHASH) {
      EXPECT_TRUE(seen.insert({k.make, 0}).second) << "code used twice";
    }
  }
}

TEST(KeyTranslation, PauseIsTheE1SequenceAndPrintScreenIsExtended) {
  const auto down = Events(SDL_SCANCODE_PAUSE, true);
  ASSERT_EQ(down.size(), 2u);
  EXPECT_EQ(Copy(down[0].makeCode), 0x1Du);
  EXPECT_EQ(Copy(down[0].flags), 4u);  // E1
  EXPECT_EQ(Copy(down[0].vkey), 0x13u);
  EXPECT_EQ(Copy(down[1].makeCode), 0x45u);
  EXPECT_EQ(Copy(down[1].flags), 0u);
  EXPECT_EQ(Copy(down[1].vkey), 0xFFu);
  const auto up = Events(SDL_SCANCODE_PAUSE, false);
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(Copy(up[0].flags), 5u);  // E1 | break
  EXPECT_EQ(Copy(up[1].flags), 1u);

  const auto print = Events(SDL_SCANCODE_PRINTSCREEN, true);
  ASSERT_EQ(print.size(), 1u);
  EXPECT_EQ(Copy(print[0].makeCode), 0x37u);
  EXPECT_EQ(Copy(print[0].flags), 2u);
}

TEST(KeyTranslation, ModifiersChooseTheMessageAndNumLockTheKeypadKeys) {
  KeyModifiers alt;
  alt.alt = true;
  EXPECT_EQ(Copy(Events(SDL_SCANCODE_TAB, true, alt)[0].message), 0x104u);  // Alt+Tab is a system key
  EXPECT_EQ(Copy(Events(SDL_SCANCODE_TAB, false, alt)[0].message), 0x105u);
  KeyModifiers altCtrl = alt;
  altCtrl.ctrl = true;
  EXPECT_EQ(Copy(Events(SDL_SCANCODE_DELETE, true, altCtrl)[0].message), 0x100u);
  // Without Num Lock the keypad is the cursor block, on the same codes.
  const auto home = Events(SDL_SCANCODE_KP_7, true);
  EXPECT_EQ(Copy(home[0].makeCode), 0x47u);
  EXPECT_EQ(Copy(home[0].vkey), 0x24u);
  EXPECT_EQ(Copy(Events(SDL_SCANCODE_KP_3, true)[0].vkey), 0x22u);
  EXPECT_EQ(Copy(Events(SDL_SCANCODE_KP_0, true)[0].vkey), 0x2Du);
  EXPECT_EQ(Copy(Events(SDL_SCANCODE_KP_PERIOD, true)[0].vkey), 0x2Eu);
}

// The first 22 bytes of the one record a key event gives: what the station receives.
std::vector<uint8_t> Wire(SDL_Scancode s, bool down) {
  std::vector<HUMAN_CONTROL_EVENT_PACKET> packets;
  AppendKeyEvents(s, SDLK_UNKNOWN, down, {}, packets);
  if (packets.size() != 1) return {};
  return {packets[0].bytes, packets[0].bytes + 22};
}

// Keys beyond the 105 that Windows keyboards have, written out byte by byte from the published
// set-1 codes and virtual keys: type, 0, scan code, flags, virtual key, message, extra (LE).
TEST(KeyTranslation, MediaBrowserExtraFunctionAndNationalKeysSendTheirWindowsRecords) {
  using B = std::vector<uint8_t>;
  // Browser Back: E0 6A, VK_BROWSER_BACK (0xA6); down, then up (break | E0).
  EXPECT_EQ(Wire(SDL_SCANCODE_AC_BACK, true),
            (B{10, 0, 0x6A, 0, 0, 0, 2, 0, 0, 0, 0xA6, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_AC_BACK, false),
            (B{10, 0, 0x6A, 0, 0, 0, 3, 0, 0, 0, 0xA6, 0, 0, 0, 0x01, 1, 0, 0, 0, 0, 0, 0}));
  // Volume Up released: E0 30, VK_VOLUME_UP (0xAF).
  EXPECT_EQ(Wire(SDL_SCANCODE_VOLUMEUP, false),
            (B{10, 0, 0x30, 0, 0, 0, 3, 0, 0, 0, 0xAF, 0, 0, 0, 0x01, 1, 0, 0, 0, 0, 0, 0}));
  // Mute (both SDL names): E0 20, VK_VOLUME_MUTE (0xAD).
  EXPECT_EQ(Wire(SDL_SCANCODE_MUTE, true),
            (B{10, 0, 0x20, 0, 0, 0, 2, 0, 0, 0, 0xAD, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_AUDIOMUTE, true), Wire(SDL_SCANCODE_MUTE, true));
  // Play/Pause: E0 22, VK_MEDIA_PLAY_PAUSE (0xB3). Browser Forward: E0 69, 0xA7.
  EXPECT_EQ(Wire(SDL_SCANCODE_AUDIOPLAY, true),
            (B{10, 0, 0x22, 0, 0, 0, 2, 0, 0, 0, 0xB3, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_AC_FORWARD, true),
            (B{10, 0, 0x69, 0, 0, 0, 2, 0, 0, 0, 0xA7, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  // F13 (64, VK 0x7C), F23 (6E, VK 0x86) and F24, which leaves the run (76, VK 0x87).
  EXPECT_EQ(Wire(SDL_SCANCODE_F13, true),
            (B{10, 0, 0x64, 0, 0, 0, 0, 0, 0, 0, 0x7C, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_F23, true),
            (B{10, 0, 0x6E, 0, 0, 0, 0, 0, 0, 0, 0x86, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_F24, false),
            (B{10, 0, 0x76, 0, 0, 0, 1, 0, 0, 0, 0x87, 0, 0, 0, 0x01, 1, 0, 0, 0, 0, 0, 0}));
  // Keypad = (59, VK_CLEAR); Brazilian /? (73, VK_ABNT_C1) and keypad . (7E, VK_ABNT_C2).
  EXPECT_EQ(Wire(SDL_SCANCODE_KP_EQUALS, true),
            (B{10, 0, 0x59, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_INTERNATIONAL1, true),
            (B{10, 0, 0x73, 0, 0, 0, 0, 0, 0, 0, 0xC1, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_KP_COMMA, true),
            (B{10, 0, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0xC2, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  // Japanese Henkan (79, VK_CONVERT) and Muhenkan (7B, VK_NONCONVERT); Korean Hangul (F2,
  // VK_HANGUL) and Hanja (F1, VK_HANJA).
  EXPECT_EQ(Wire(SDL_SCANCODE_INTERNATIONAL4, true),
            (B{10, 0, 0x79, 0, 0, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_INTERNATIONAL5, true),
            (B{10, 0, 0x7B, 0, 0, 0, 0, 0, 0, 0, 0x1D, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_LANG1, true),
            (B{10, 0, 0xF2, 0, 0, 0, 0, 0, 0, 0, 0x15, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(SDL_SCANCODE_LANG2, true),
            (B{10, 0, 0xF1, 0, 0, 0, 0, 0, 0, 0, 0x19, 0, 0, 0, 0x00, 1, 0, 0, 0, 0, 0, 0}));
  // A key no Windows keyboard has still sends nothing.
  EXPECT_TRUE(Wire(SDL_SCANCODE_AGAIN, true).empty());
}

}  // namespace
}  // namespace input
