// Known folders from the shell. The environment's APPDATA/PROGRAMDATA win when set and
// absolute (Windows sets them for every user; tests point them at a scratch folder).
#include "platform/Folders.h"

#include <shlobj.h>

#include <cerrno>
#include <cstdlib>

#include "platform/win32/Win32.h"

namespace platform {
namespace {

bool IsAbsolute(const std::string& p) {
  if (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
      (p[2] == '\\' || p[2] == '/'))
    return true;
  return p.size() >= 2 && (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/');
}

bool AbsoluteFromEnv(const wchar_t* name, std::string& out) {
  const wchar_t* value = ::_wgetenv(name);
  if (value == nullptr) return false;
  std::string text = win32::Narrow(value);
  if (!IsAbsolute(text)) return false;
  out = std::move(text);
  return true;
}

bool IsDirectory(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

int KnownFolderPath(KnownFolder folder, std::string& path) {
  // The settings store keeps its files beside the roaming application data, as the
  // current-user registry hive roams with the profile.
  const bool programData = folder == KnownFolder::ProgramData;
  if (!AbsoluteFromEnv(programData ? L"PROGRAMDATA" : L"APPDATA", path)) {
    PWSTR found = nullptr;
    HRESULT hr = ::SHGetKnownFolderPath(programData ? FOLDERID_ProgramData : FOLDERID_RoamingAppData,
                                        KF_FLAG_DEFAULT, nullptr, &found);
    if (FAILED(hr) || found == nullptr) {
      ::CoTaskMemFree(found);
      return ENOENT;
    }
    path = win32::Narrow(found);
    ::CoTaskMemFree(found);
  }
  while (path.size() > 3 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return 0;
}

int CreateDirectories(const std::string& path) {
  if (path.empty()) return ENOENT;
  const std::wstring wide = win32::Widen(path);
  // Walk the components front to back; a folder made meanwhile by another process is fine.
  std::size_t pos = 0;
  while (pos != std::wstring::npos) {
    pos = wide.find_first_of(L"/\\", pos + 1);
    std::wstring prefix = wide.substr(0, pos);
    if (prefix.empty() || prefix.back() == L'/' || prefix.back() == L'\\' || prefix.back() == L':') continue;
    if (::CreateDirectoryW(prefix.c_str(), nullptr)) continue;
    DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
      if (IsDirectory(prefix)) continue;
      return ENOTDIR;
    }
    // A server or drive root we may not write but that exists is fine.
    if (error == ERROR_ACCESS_DENIED && IsDirectory(prefix)) continue;
    return win32::ErrnoFromWin32(error);
  }
  return 0;
}

}  // namespace platform
