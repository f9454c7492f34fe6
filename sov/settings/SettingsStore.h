#pragma once
// The per-user settings store: what the registry's current-user keys are on
// Windows. Each key is one small text file in one folder:
//
//   folder  $XDG_CONFIG_HOME/Ulmek/Zep   (XDG_CONFIG_HOME when set and absolute,
//           else $HOME/.config, else the passwd entry's home + /.config)
//   file    the key path without "SOFTWARE\Ulmek\Zep\", else without "SOFTWARE\",
//           its parts joined with '.':
//             "SOFTWARE\Ulmek\Zep\Runtime"                     -> Runtime
//             "SOFTWARE\Ulmek\Zep\Service"                     -> Service
//             "SOFTWARE\Microsoft\DirectX\UserGpuPreferences"  -> Microsoft.DirectX.UserGpuPreferences
//   lock    .lock in the same folder (flock around every read-modify-write)
//
// Readers need no lock: a key file is only ever replaced whole (temp file in the
// same folder, fsync, rename), so a reader sees the old or the new file. The
// environment is read at every call, so tests redirect the store by setting
// XDG_CONFIG_HOME. The file format is described in SettingsStore.cpp.
//
// On Windows the store is the registry itself: each key path names a key under
// HKEY_CURRENT_USER, Dword values are REG_DWORD, String values REG_SZ and Binary
// values REG_BINARY (SettingsStoreWin32.cpp). There is no file, so Root and File
// exist only on the other systems, and errors carry the errno value nearest to
// the registry's result.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct SettingsValue {
  enum class Type { Dword, String, Binary };

  static SettingsValue Dword(uint32_t v) { return SettingsValue{Type::Dword, v, {}, {}}; }
  static SettingsValue String(std::string utf8) {
    return SettingsValue{Type::String, 0, std::move(utf8), {}};
  }
  static SettingsValue Binary(std::vector<uint8_t> b) {
    return SettingsValue{Type::Binary, 0, {}, std::move(b)};
  }

  Type type = Type::Dword;
  uint32_t dword = 0;           // Type::Dword
  std::string text;             // Type::String, UTF-8
  std::vector<uint8_t> binary;  // Type::Binary

  bool operator==(const SettingsValue&) const = default;
};

// The values of one key as read from its file. Names compare like registry
// value names: ASCII letters without regard to case.
class SettingsValues {
 public:
  const SettingsValue* Find(std::string_view name) const;
  // A DWORD value, or a binary value of exactly four bytes (little-endian);
  // none for a missing value or one of another type.
  std::optional<uint32_t> Dword(std::string_view name) const;
  // Adds the value or replaces the one of the same name in place.
  void Set(std::string_view name, SettingsValue value);

  const std::vector<std::pair<std::string, SettingsValue>>& Items() const { return items_; }
  bool Empty() const { return items_.empty(); }

  // errno of a file that exists but could not be read as a whole (not a
  // regular file, no permission, too large); 0 when read or simply missing.
  int readError = 0;
  // Lines that could not be parsed and were skipped.
  std::size_t skippedLines = 0;

 private:
  std::vector<std::pair<std::string, SettingsValue>> items_;  // file order
};

class SettingsStore {
 public:
  // Validates the key path; touches nothing. Throws ErrCodeException
  // (ErrCode::InvalidArg) for a path that cannot name a file.
  explicit SettingsStore(std::string_view keyPath);

#ifndef _WIN32
  // The folder holding every key; throws ErrCodeException(ENOENT) when the
  // user has no home folder at all.
  static std::filesystem::path Root();
#endif
  // The file name a key path maps to (see above); throws like the constructor.
  static std::string KeyFileName(std::string_view keyPath);

  const std::string& KeyPath() const {
    return keyPath_;
  }
#ifndef _WIN32
  std::filesystem::path File() const {
    return Root() / fileName_;
  }
#endif

  // Open-or-create: makes the folder (0700) and an empty key file (0600) when
  // missing. An existing key is left as it is. Throws ErrCodeException(errno).
  void Create() const;

  // Reads and parses the key file. Never throws for the file's state or
  // content: a missing file is an empty key; a damaged or foreign file gives the
  // values that could be read, and one warning record naming the file.
  SettingsValues Load() const;

  // Sets each value (replacing a value of the same name) and writes the key
  // file atomically under the store's lock: either every value is stored or
  // none. (In the registry each value is set on its own, in order: every value
  // is checked first, but a failure of the system part way leaves the values
  // before it stored.) Throws ErrCodeException(errno), also when the present file exists but
  // cannot be read (so that nothing unread is overwritten).
  void Write(const std::vector<std::pair<std::string, SettingsValue>>& values) const;
  void Write(std::string_view name, const SettingsValue& value) const;

  // Format helpers, exposed for tests.
  static std::string Serialize(const SettingsValues& values, std::string_view keyPath);
  static SettingsValues Parse(std::string_view text);

 private:
#ifndef _WIN32
  SettingsValues ReadFile(const std::filesystem::path& file, bool warn) const;
#endif

  std::string keyPath_;
  std::string fileName_;
};
