#pragma once
// The graphical session a root service launches programs into.
#include <optional>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace platform {

struct DesktopSession {
  RunAs user;
  std::string home;              // the user's home folder, the child's working folder fallback
  std::vector<std::string> env;  // HOME, USER, LOGNAME, XDG_RUNTIME_DIR, DISPLAY/WAYLAND_DISPLAY, bus
};

// The active session on seat0 that has a display (X11 or Wayland), from logind; nothing when
// no such session exists.
std::optional<DesktopSession> FindActiveDesktopSession();

}  // namespace platform
