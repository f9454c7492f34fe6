#pragma once
// The graphical session a root service launches programs into.
#include <optional>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace platform {

struct DesktopSession {
  RunAs user;
  std::string home;           // the user's home folder, the child's working folder fallback
  std::string runtimeFolder;  // the user's XDG_RUNTIME_DIR
  // The whole environment a program started in the session gets: HOME, USER, LOGNAME, SHELL,
  // PATH, the XDG session and runtime values, DISPLAY / WAYLAND_DISPLAY / XAUTHORITY, the bus
  // and the locale. Nothing of the service's own environment.
  std::vector<std::string> env;
};

// The active session on seat0 that has a display (X11 or Wayland), from logind; nothing when
// no such session exists.
std::optional<DesktopSession> FindActiveDesktopSession();

}  // namespace platform
