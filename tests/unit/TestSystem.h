#pragma once
// The few system calls the tests make beside the code under test, the same on Linux and
// Windows: environment changes, scratch folders, the process id, and the variables that
// redirect the known folders (XDG on Linux; APPDATA and PROGRAMDATA on Windows).
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testsys {

#ifdef _WIN32
constexpr const char* kStateHomeVar = "APPDATA";
constexpr const char* kDataHomeVar = "PROGRAMDATA";
constexpr const char* kConfigHomeVar = "APPDATA";
#else
constexpr const char* kStateHomeVar = "XDG_STATE_HOME";
constexpr const char* kDataHomeVar = "XDG_DATA_HOME";
constexpr const char* kConfigHomeVar = "XDG_CONFIG_HOME";
#endif

// Sets the variable, or removes it when value is null.
inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  ::_putenv_s(name, value != nullptr ? value : "");  // an empty value removes it
#else
  value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
#endif
}

inline int ProcessId() {
#ifdef _WIN32
  return ::_getpid();
#else
  return ::getpid();
#endif
}

// A new empty folder in the temp folder, named prefix + "-" + random letters.
inline std::filesystem::path MakeTempDir(const std::string& prefix) {
  static thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<unsigned>(ProcessId())};
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    std::string name = prefix + "-";
    for (int i = 0; i < 8; ++i) name += "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
    if (std::filesystem::create_directory(base / name)) return base / name;
  }
}

}  // namespace testsys
