#include "platform/ActiveSession.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace platform {

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

bool IsSessionValue(const std::string& entry) {
  static const char* const kNames[] = {
      "DISPLAY=", "WAYLAND_DISPLAY=",     "XAUTHORITY=",          "LANG=",          "LANGUAGE=",
      "LC_",      "XDG_CURRENT_DESKTOP=", "XDG_SESSION_DESKTOP=", "XDG_DATA_DIRS=", "XDG_CONFIG_DIRS="};
  for (const char* name : kNames)
    if (entry.rfind(name, 0) == 0) return true;
  return false;
}

// The display and locale values from a process's environment.
std::vector<std::string> SessionValues(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::vector<std::string> out;
  for (std::string entry; std::getline(in, entry, '\0');)
    if (IsSessionValue(entry)) out.push_back(entry);
  return out;
}

// The display and locale values of a program running in the session that has a display
// (the desktop's shell or panel); nothing when none is found.
std::vector<std::string> ValuesFromSession(const char* session, uid_t uid) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) != 0 || st.st_uid != uid) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    char* raw = nullptr;
    if (sd_pid_get_session(pid, &raw) < 0 || raw == nullptr) continue;
    CString of(raw);
    if (std::string(of.get()) != session) continue;
    std::vector<std::string> values = SessionValues(pid);
    const bool hasDisplay = std::any_of(values.begin(), values.end(), [](const std::string& v) {
      return v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0;
    });
    if (hasDisplay) return values;
  }
  return {};
}

// The machine's locale (LANG and LC_* lines), for a session whose leader carries none.
std::vector<std::string> SystemLocale() {
  std::vector<std::string> out;
  for (const char* path : {"/etc/locale.conf", "/etc/default/locale"}) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("LANG", 0) != 0 && line.rfind("LC_", 0) != 0) continue;
      std::erase(line, '"');
      if (line.find('=') != std::string::npos) out.push_back(line);
    }
    if (!out.empty()) break;
  }
  return out;
}

// The compositor's socket in the runtime folder: "wayland-0" when it is there, else the first
// "wayland-N" found.
std::string WaylandSocket(const std::string& runtime) {
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(runtime, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos && entry.is_socket(ec))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string() : names.front();
}

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

  out.runtimeFolder = "/run/user/" + std::to_string(uid);
  const std::string& runtime = out.runtimeFolder;
  const std::string shell =
      found->pw_shell != nullptr && found->pw_shell[0] == '/' ? found->pw_shell : "/bin/sh";
  out.env = {"HOME=" + out.home,
             std::string("USER=") + found->pw_name,
             std::string("LOGNAME=") + found->pw_name,
             "SHELL=" + shell,
             "PATH=/usr/local/bin:/usr/bin:/bin",
             "XDG_RUNTIME_DIR=" + runtime,
             "XDG_SESSION_TYPE=" + kind,
             std::string("XDG_SESSION_ID=") + session.get(),
             "XDG_SEAT=seat0"};
  struct stat st {};
  if (::stat((runtime + "/bus").c_str(), &st) == 0)
    out.env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
  char* rawDesktop = nullptr;
  if (sd_session_get_desktop(session.get(), &rawDesktop) >= 0 && rawDesktop != nullptr) {
    CString desktop(rawDesktop);
    out.env.push_back(std::string("XDG_CURRENT_DESKTOP=") + desktop.get());
  }
  char* rawDisplay = nullptr;
  if (sd_session_get_display(session.get(), &rawDisplay) >= 0 && rawDisplay != nullptr) {
    CString display(rawDisplay);
    out.env.push_back(std::string("DISPLAY=") + display.get());
  }
  if (kind == "wayland") {
    const std::string socket = WaylandSocket(runtime);
    if (!socket.empty()) out.env.push_back("WAYLAND_DISPLAY=" + socket);
  }
  // What logind does not know (the X authority file, the locale, a display it did not record)
  // the session's own programs do.
  std::vector<std::string> inherited = ValuesFromSession(session.get(), uid);
  for (const std::string& entry : SystemLocale()) inherited.push_back(entry);
  for (const std::string& entry : inherited) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    const bool known = std::any_of(out.env.begin(), out.env.end(), [&](const std::string& e) {
      return e.compare(0, name.size(), name) == 0;
    });
    if (!known) out.env.push_back(entry);
  }
  return out;
}

}  // namespace platform
