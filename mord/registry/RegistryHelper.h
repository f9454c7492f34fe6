#pragma once
// String values of one current-user key, for both programs (zeps keeps its own
// values here). Built on the settings store: the key "SOFTWARE\Ulmek\Zep\Service"
// is the file $XDG_CONFIG_HOME/Ulmek/Zep/Service (see SettingsStore.h for the
// mapping); on Windows it is that key under HKEY_CURRENT_USER, its strings REG_SZ.
// Strings are kept as UTF-8; text that is not valid Unicode becomes
// U+FFFD on the way in or out.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "sov/settings/SettingsStore.h"

class RegistryHelper {
 public:
  // Opens the key, creating its folder and file when missing. Throws
  // ErrCodeException (errno, or ErrCode::InvalidArg for a bad key path).
  explicit RegistryHelper(std::wstring_view keyPath);

  // None when the value does not exist. Throws ErrCodeException when the key
  // cannot be read (errno) or the value has another type
  // (ErrCode::UnsupportedType).
  std::optional<std::wstring> ReadString(std::wstring_view name) const;
  // Stores (or replaces) the value atomically. Throws ErrCodeException (errno).
  void WriteString(std::wstring_view name, std::wstring_view value) const;

#ifndef _WIN32
  // The key's file; on Windows the key is a registry key (see SettingsStore.h).
  std::filesystem::path File() const {
    return store_.File();
  }
#endif

  static std::string ToUtf8(std::wstring_view text);
  static std::wstring FromUtf8(std::string_view text);

 private:
  SettingsStore store_;
};
