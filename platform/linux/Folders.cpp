#include "platform/Folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

// XDG variables that are unset, empty or relative must be ignored.
bool AbsoluteFromEnv(const char* name, std::string& out) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return false;
  out = value;
  return true;
}

int HomeFolder(std::string& home) {
  if (AbsoluteFromEnv("HOME", home)) return 0;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  int err = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result);
  if (err != 0) return err;
  if (result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] != '/') return ENOENT;
  home = result->pw_dir;
  return 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int KnownFolderPath(KnownFolder folder, std::string& path) {
  const char* variable = "XDG_DATA_HOME";
  const char* fallback = "/.local/share";
  if (folder == KnownFolder::RoamingAppData) {
    variable = "XDG_STATE_HOME";
    fallback = "/.local/state";
  } else if (folder == KnownFolder::Config) {
    variable = "XDG_CONFIG_HOME";
    fallback = "/.config";
  }
  if (!AbsoluteFromEnv(variable, path)) {
    std::string home;
    if (int err = HomeFolder(home); err != 0) return err;
    while (!home.empty() && home.back() == '/') home.pop_back();
    path = home + fallback;
  }
  // Callers append their own sub-folders; "/state/" + "/Vekta" would double the slash.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return 0;
}

int CreateDirectories(const std::string& path) {
  if (path.empty()) return ENOENT;
  // Walk the components front to back; another process creating the same folders
  // concurrently only turns mkdir into EEXIST, which is fine.
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (prefix.empty() || prefix.back() == '/') continue;
    if (mkdir(prefix.c_str(), 0700) == 0) continue;
    int err = errno;
    if (err == EEXIST) {
      if (IsDirectory(prefix)) continue;
      return ENOTDIR;
    }
    // A parent we may not write but that exists (e.g. "/home") is fine.
    if ((err == EACCES || err == EPERM || err == EROFS) && IsDirectory(prefix)) continue;
    return err;
  }
  return 0;
}

}  // namespace platform
