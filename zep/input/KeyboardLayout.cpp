#include "zep/input/KeyboardLayout.h"

#include <SDL_syswm.h>

#include <cstring>

#ifdef ZEP_HAVE_X11
#include <X11/XKBlib.h>
#include <X11/keysym.h>
#endif

namespace input {

bool KeyboardLayout::RightAltIsAltGr() {
#ifdef ZEP_HAVE_X11
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (window_ == nullptr || !SDL_GetWindowWMInfo(window_, &info) || info.subsystem != SDL_SYSWM_X11)
    return false;
  Display* display = info.info.x11.display;
  if (rightAltKeycode_ < 0) {
    // By the key's name in the keymap, so that any key-code set (evdev, xfree86) is found.
    rightAltKeycode_ = 0;
    if (XkbDescPtr desc = XkbGetMap(display, 0, XkbUseCoreKbd)) {
      if (XkbGetNames(display, XkbKeyNamesMask, desc) == Success && desc->names && desc->names->keys) {
        for (int k = desc->min_key_code; k <= desc->max_key_code; ++k)
          if (std::strncmp(desc->names->keys[k].name, "RALT", XkbKeyNameLength) == 0) {
            rightAltKeycode_ = k;
            break;
          }
      }
      XkbFreeKeyboard(desc, 0, True);
    }
  }
  if (rightAltKeycode_ == 0) return false;
  XkbStateRec state;
  const int group = XkbGetState(display, XkbUseCoreKbd, &state) == Success ? state.group : 0;
  const KeySym sym = XkbKeycodeToKeysym(display, static_cast<KeyCode>(rightAltKeycode_), group, 0);
  return sym == XK_ISO_Level3_Shift || sym == XK_Mode_switch;
#else
  return false;
#endif
}

}  // namespace input
