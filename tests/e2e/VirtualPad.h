#pragma once
// A game controller for a test as SDL's virtual joystick (the joystick and game-controller
// subsystems must be up).
#include <SDL.h>

namespace e2e {

// Attaches "zep test pad" with every controller button and axis; the rumble SDL asks of it goes
// to `rumble`. The new device's index, or -1 with SDL_GetError() set.
inline int AttachVirtualPad(int (*rumble)(void*, Uint16, Uint16)) {
  SDL_VirtualJoystickDesc desc{};
  desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
  desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
  desc.naxes = SDL_CONTROLLER_AXIS_MAX;
  desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
  desc.name = "zep test pad";
  desc.Rumble = rumble;
  return SDL_JoystickAttachVirtualEx(&desc);
}

}  // namespace e2e
