#include "platform/ActiveSession.h"

#include <grp.h>
#include <pwd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace platform {

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

}  // namespace

std::optional<DesktopSession> FindActiveDesktopSession() {
  char* rawSession = nullptr;
  uid_t uid = 0;
  if (sd_seat_get_active("seat0", &rawSession, &uid) < 0 || rawSession == nullptr) return std::nullopt;
  CString session(rawSession);
  char* rawType = nullptr;
  if (sd_session_get_type(session.get(), &rawType) < 0) return std::nullopt;
  CString type(rawType);
  const std::string kind = type ? type.get() : "";
  if (kind != "x11" && kind != "wayland") return std::nullopt;

  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return std::nullopt;
  DesktopSession out;
  out.user.uid = uid;
  out.user.gid = found->pw_gid;
  out.home = found->pw_dir;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count);
  }
  groups.resize(static_cast<std::size_t>(count));
  out.user.groups.assign(groups.begin(), groups.end());

  const std::string runtime = "/run/user/" + std::to_string(uid);
  out.env = {"HOME=" + out.home, std::string("USER=") + found->pw_name,
             std::string("LOGNAME=") + found->pw_name, "XDG_RUNTIME_DIR=" + runtime,
             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus"};
  char* rawDisplay = nullptr;
  if (sd_session_get_display(session.get(), &rawDisplay) >= 0 && rawDisplay != nullptr) {
    CString display(rawDisplay);
    out.env.push_back(std::string("DISPLAY=") + display.get());
  }
  if (kind == "wayland") out.env.push_back("WAYLAND_DISPLAY=wayland-0");
  return out;
}

}  // namespace platform
