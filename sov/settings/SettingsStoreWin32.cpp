// The settings store on Windows: each key path is a registry key under the current user's
// root (RegOpenCurrentUser, so the hive of the user the thread runs as), opened or created
// non-volatile. Dword values are REG_DWORD, String values REG_SZ (UTF-16 in the registry,
// UTF-8 here), Binary values REG_BINARY; values of other types are skipped on reading, with
// one warning for the key.
#ifdef _WIN32
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ErrorHandling/ErrorHandling.h"
#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/settings/SettingsStore.h"

namespace {

using platform::win32::ErrnoFromWin32;
using platform::win32::Narrow;
using platform::win32::Widen;

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// The key under the current user's root: opened (create false; ERROR_FILE_NOT_FOUND when it
// does not exist) or opened-or-created. Returns the registry's result.
LSTATUS OpenKey(const std::string& keyPath, bool create, REGSAM access, Key& key) {
  Key root;
  LSTATUS rc = RegOpenCurrentUser(KEY_READ | KEY_WRITE, root.Out());
  if (rc != ERROR_SUCCESS) return rc;
  const std::wstring path = Widen(keyPath);
  if (!create) return RegOpenKeyExW(root.Get(), path.c_str(), 0, access, key.Out());
  return RegCreateKeyExW(root.Get(), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                         key.Out(), nullptr);
}

// REG_SZ data without its terminator (a value written by another program may lack one, or
// carry several).
std::string StringOf(const std::vector<BYTE>& data, DWORD size) {
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (!text.empty()) memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return Narrow(text);
}

}  // namespace

void SettingsStore::Create() const {
  Key key;
  if (LSTATUS rc = OpenKey(keyPath_, true, KEY_READ | KEY_WRITE, key); rc != ERROR_SUCCESS)
    THROW_ERRCODE(ErrnoFromWin32(static_cast<DWORD>(rc)));
}

SettingsValues SettingsStore::Load() const {
  SettingsValues values;
  Key key;
  LSTATUS rc = OpenKey(keyPath_, false, KEY_QUERY_VALUE, key);
  if (rc == ERROR_FILE_NOT_FOUND) return values;
  if (rc == ERROR_SUCCESS) {
    DWORD count = 0, maxName = 0, maxData = 0;
    rc = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName,
                          &maxData, nullptr, nullptr);
    std::vector<wchar_t> name(maxName + 1);
    std::vector<BYTE> data(maxData + sizeof(wchar_t));
    for (DWORD i = 0; rc == ERROR_SUCCESS && i < count; ++i) {
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD size = static_cast<DWORD>(data.size());
      DWORD type = 0;
      LSTATUS one = RegEnumValueW(key.Get(), i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
      if (one == ERROR_NO_MORE_ITEMS) break;  // removed by another process meanwhile
      if (one != ERROR_SUCCESS) {
        ++values.skippedLines;  // grew since the size query, or unreadable
        continue;
      }
      const std::string valueName = Narrow(std::wstring_view(name.data(), nameLength));
      if (type == REG_DWORD && size == 4) {
        DWORD v = 0;
        memcpy(&v, data.data(), 4);
        values.Set(valueName, SettingsValue::Dword(v));
      } else if (type == REG_SZ) {
        values.Set(valueName, SettingsValue::String(StringOf(data, size)));
      } else if (type == REG_BINARY) {
        values.Set(valueName, SettingsValue::Binary(std::vector<uint8_t>(data.begin(), data.begin() + size)));
      } else {
        ++values.skippedLines;
      }
    }
  }
  if (rc != ERROR_SUCCESS) {
    values.readError = ErrnoFromWin32(static_cast<DWORD>(rc));
    LOGW << "Settings key HKCU\\" << keyPath_ << " cannot be read (Win32 error " << rc
         << "); its values are not used";
    return values;
  }
  if (values.skippedLines > 0)
    LOGW << "Settings key HKCU\\" << keyPath_ << ": skipped " << values.skippedLines
         << " value(s) of another type or size";
  return values;
}

void SettingsStore::Write(const std::vector<std::pair<std::string, SettingsValue>>& values) const {
  // Everything that can be checked here is checked before the first value is set.
  std::vector<std::pair<std::wstring, std::vector<BYTE>>> data;
  std::vector<DWORD> types;
  for (const auto& [name, value] : values) {
    std::vector<BYTE> bytes;
    DWORD type = REG_DWORD;
    switch (value.type) {
      case SettingsValue::Type::Dword:
        bytes.resize(4);
        memcpy(bytes.data(), &value.dword, 4);
        break;
      case SettingsValue::Type::String: {
        type = REG_SZ;
        const std::wstring text = Widen(value.text);
        // The size counts the terminator.
        bytes.resize((text.size() + 1) * sizeof(wchar_t));
        memcpy(bytes.data(), text.c_str(), bytes.size());
        break;
      }
      case SettingsValue::Type::Binary:
        type = REG_BINARY;
        bytes.assign(value.binary.begin(), value.binary.end());
        break;
    }
    if (bytes.size() > 0xFFFFFFFFu) THROW_ERRCODE(EFBIG);
    data.emplace_back(Widen(name), std::move(bytes));
    types.push_back(type);
  }
  Key key;
  if (LSTATUS rc = OpenKey(keyPath_, true, KEY_READ | KEY_WRITE, key); rc != ERROR_SUCCESS)
    THROW_ERRCODE(ErrnoFromWin32(static_cast<DWORD>(rc)));
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto& [name, bytes] = data[i];
    LSTATUS rc = RegSetValueExW(key.Get(), name.c_str(), 0, types[i], bytes.empty() ? nullptr : bytes.data(),
                                static_cast<DWORD>(bytes.size()));
    if (rc != ERROR_SUCCESS) THROW_ERRCODE(ErrnoFromWin32(static_cast<DWORD>(rc)));
  }
}
#endif
