// Key file format, one value a line:
//
//   # comment
//   AudioBufferSizeIndex=dword:1
//   /opt/zep/zep=sz:GpuPreference=1;
//   Blob=binary:0a0b0c0d
//
// The name runs to the first '=' that is not escaped. Names and sz texts use
// the escapes \\ \n \r \t \= \xHH; we write \xHH for every other control byte
// and for a '#' that starts a name.
//
// Leniencies of the reader (the file may have been edited by hand, truncated or
// replaced by something else entirely):
// - blank lines and lines starting with '#' are ignored, a trailing '\r' too;
// - dword takes decimal or 0x-prefixed hex that fits 32 bits;
// - binary takes an even number of hex digits in either case, or none;
// - a later line of the same name (ignoring ASCII case) replaces an earlier one;
// - any other line (unknown type, bad number, bad escape, raw control byte or
//   NUL) is skipped, and the file gets one warning record; the next write of
//   the key drops such lines;
// - a file larger than kMaxFileSize, or one that is not a regular file, is not
//   read at all (warning, empty key), and writes to that key are refused rather
//   than replacing something we never read.
#include "sov/settings/SettingsStore.h"

#include <cerrno>

#include "ErrorHandling/ErrorHandling.h"
#include "platform/FileStore.h"
#include "platform/Folders.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxFileSize = 1 << 20;
constexpr std::size_t kMaxFileNameLength = 200;  // leaves room for the temp suffix within NAME_MAX
constexpr const char* kStoreFolder = "Ulmek/Zep";
constexpr const char* kLockFileName = ".lock";

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

std::string Escape(std::string_view s, bool isName) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (isName && c == '=') {
      out += "\\=";
    } else if (IsControl(c) || (isName && i == 0 && c == '#')) {
      out += "\\x";
      text::AppendHexByte(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (IsControl(c)) return std::nullopt;
    if (c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    if (++i >= s.size()) return std::nullopt;
    switch (s[i]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '=':
        out += '=';
        break;
      case 'x': {
        if (i + 2 >= s.size()) return std::nullopt;
        int hi = text::HexValue(s[i + 1]);
        int lo = text::HexValue(s[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::optional<uint32_t> ParseDword(std::string_view s) {
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    if (s.size() > 8) return std::nullopt;
    for (char c : s) {
      int d = text::HexValue(c);
      if (d < 0) return std::nullopt;
      v = v * 16 + static_cast<uint64_t>(d);
    }
    return static_cast<uint32_t>(v);
  }
  if (s.size() > 10) return std::nullopt;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<std::vector<uint8_t>> ParseBinary(std::string_view s) {
  if (s.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(s.size() / 2);
  for (std::size_t i = 0; i < s.size(); i += 2) {
    int hi = text::HexValue(s[i]);
    int lo = text::HexValue(s[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return out;
}

// One line without its end; false when it is not a value line we understand.
bool ParseLine(std::string_view line, std::string& name, SettingsValue& value) {
  std::size_t eq = std::string_view::npos;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == '=') {
      eq = i;
      break;
    }
  }
  if (eq == std::string_view::npos) return false;
  auto n = Unescape(line.substr(0, eq));
  if (!n) return false;
  std::string_view rest = line.substr(eq + 1);
  auto takePrefix = [&rest](std::string_view prefix) {
    if (rest.substr(0, prefix.size()) != prefix) return false;
    rest.remove_prefix(prefix.size());
    return true;
  };
  if (takePrefix("dword:")) {
    auto v = ParseDword(rest);
    if (!v) return false;
    value = SettingsValue::Dword(*v);
  } else if (takePrefix("sz:")) {
    auto t = Unescape(rest);
    if (!t) return false;
    value = SettingsValue::String(std::move(*t));
  } else if (takePrefix("binary:")) {
    auto b = ParseBinary(rest);
    if (!b) return false;
    value = SettingsValue::Binary(std::move(*b));
  } else {
    return false;
  }
  name = std::move(*n);
  return true;
}

std::vector<std::string_view> SplitKeyPath(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t pos = path.find('\\', start);
    parts.push_back(path.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
    if (pos == std::string_view::npos) break;
    start = pos + 1;
  }
  return parts;
}

[[noreturn]] void ThrowInvalidKey() {
  THROW_ERRCODE(ErrCode::InvalidArg);
}

#ifndef _WIN32
// Open-or-create must not take a folder or a device for the key.
bool KeyFileExists(const std::string& file) {
  switch (platform::KindOfFile(file)) {
    case platform::FileKind::Missing:
      return false;
    case platform::FileKind::Regular:
      return true;
    case platform::FileKind::Folder:
      THROW_ERRCODE(EISDIR);
    case platform::FileKind::Other:
      break;
  }
  THROW_ERRCODE(EINVAL);
}

// Held for a read-modify-write; zep and zeps may write the same folder.
platform::UniqueFd LockFolder(const fs::path& folder) {
  if (int err = platform::CreateDirectories(folder.string()); err != 0) THROW_ERRCODE(err);
  return platform::LockFile((folder / kLockFileName).string());
}
#endif

}  // namespace

const SettingsValue* SettingsValues::Find(std::string_view name) const {
  for (const auto& [n, v] : items_)
    if (text::EqualsNoCase(n, name)) return &v;
  return nullptr;
}

std::optional<uint32_t> SettingsValues::Dword(std::string_view name) const {
  const SettingsValue* v = Find(name);
  if (!v) return std::nullopt;
  if (v->type == SettingsValue::Type::Dword) return v->dword;
  if (v->type == SettingsValue::Type::Binary && v->binary.size() == 4) {
    return static_cast<uint32_t>(v->binary[0]) | static_cast<uint32_t>(v->binary[1]) << 8 |
           static_cast<uint32_t>(v->binary[2]) << 16 | static_cast<uint32_t>(v->binary[3]) << 24;
  }
  return std::nullopt;
}

void SettingsValues::Set(std::string_view name, SettingsValue value) {
  for (auto& [n, v] : items_) {
    if (text::EqualsNoCase(n, name)) {
      v = std::move(value);
      return;
    }
  }
  items_.emplace_back(std::string(name), std::move(value));
}

SettingsStore::SettingsStore(std::string_view keyPath) : keyPath_(keyPath), fileName_(KeyFileName(keyPath)) {}

std::string SettingsStore::KeyFileName(std::string_view keyPath) {
  std::vector<std::string_view> parts = SplitKeyPath(keyPath);
  std::size_t first = 0;
  if (parts.size() > 3 && text::EqualsNoCase(parts[0], "SOFTWARE") && text::EqualsNoCase(parts[1], "Ulmek") &&
      text::EqualsNoCase(parts[2], "Zep"))
    first = 3;
  else if (parts.size() > 1 && text::EqualsNoCase(parts[0], "SOFTWARE"))
    first = 1;
  std::string name;
  for (std::size_t i = first; i < parts.size(); ++i) {
    std::string_view p = parts[i];
    // A leading '.' would meet our lock and temp files; '/' would leave the folder.
    if (p.empty() || p[0] == '.') ThrowInvalidKey();
    for (char c : p)
      if (c == '/' || IsControl(static_cast<unsigned char>(c))) ThrowInvalidKey();
    if (!name.empty()) name += '.';
    name += p;
  }
  if (name.size() > kMaxFileNameLength) ThrowInvalidKey();
  return name;
}

#ifndef _WIN32
// On Windows the store is the registry (SettingsStoreWin32.cpp).
fs::path SettingsStore::Root() {
  std::string config;
  if (int err = platform::KnownFolderPath(platform::KnownFolder::Config, config); err != 0)
    THROW_ERRCODE(err);
  return fs::path(config) / kStoreFolder;
}

void SettingsStore::Create() const {
  const fs::path root = Root();
  const std::string file = (root / fileName_).string();
  if (KeyFileExists(file)) return;
  platform::UniqueFd lock = LockFolder(root);
  // Another process may have made it while we waited for the lock.
  if (KeyFileExists(file)) return;
  platform::ReplaceFileAtomically(file, Serialize(SettingsValues{}, keyPath_));
}

SettingsValues SettingsStore::ReadFile(const fs::path& file, bool warn) const {
  SettingsValues values;
  std::string text;
  if (int err = platform::ReadSmallFile(file.string(), kMaxFileSize, text); err != 0) {
    if (err == ENOENT) return values;
    values.readError = err;
    if (warn) {
      const char* what = err == EISDIR   ? "is a folder"
                         : err == EINVAL ? "is not a regular file"
                         : err == EFBIG  ? "is too large"
                                         : "cannot be read";
      LOGW << "Settings file " << file.string() << " " << what << " (errno " << err << ", "
           << SystemErrorText(err) << "); its values are not used";
    }
    return values;
  }
  SettingsValues parsed = Parse(text);
  if (parsed.skippedLines > 0 && warn)
    LOGW << "Settings file " << file.string() << ": skipped " << parsed.skippedLines
         << " unreadable line(s); they are dropped when the key is next written";
  return parsed;
}

SettingsValues SettingsStore::Load() const {
  fs::path file;
  try {
    file = File();
  } catch (const ErrCodeException& e) {
    LOGW << "Settings key " << keyPath_ << " has no file: " << e.what();
    SettingsValues none;
    none.readError = e.Code();
    return none;
  }
  return ReadFile(file, true);
}

void SettingsStore::Write(const std::vector<std::pair<std::string, SettingsValue>>& values) const {
  const fs::path root = Root();
  const fs::path file = root / fileName_;
  platform::UniqueFd lock = LockFolder(root);
  SettingsValues current = ReadFile(file, true);
  if (current.readError != 0) THROW_ERRCODE(current.readError);
  for (const auto& [name, value] : values) current.Set(name, value);
  platform::ReplaceFileAtomically(file.string(), Serialize(current, keyPath_));
}

#endif

void SettingsStore::Write(std::string_view name, const SettingsValue& value) const {
  Write({{std::string(name), value}});
}

std::string SettingsStore::Serialize(const SettingsValues& values, std::string_view keyPath) {
  std::string out = "# Settings of ";
  out += Escape(keyPath, false);
  out += "; one value a line: Name=dword:123, Name=sz:text or Name=binary:hex\n";
  for (const auto& [name, v] : values.Items()) {
    out += Escape(name, true);
    switch (v.type) {
      case SettingsValue::Type::Dword:
        out += "=dword:";
        out += std::to_string(v.dword);
        break;
      case SettingsValue::Type::String:
        out += "=sz:";
        out += Escape(v.text, false);
        break;
      case SettingsValue::Type::Binary:
        out += "=binary:";
        for (uint8_t b : v.binary) text::AppendHexByte(out, b);
        break;
    }
    out += '\n';
  }
  return out;
}

SettingsValues SettingsStore::Parse(std::string_view text) {
  SettingsValues values;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    std::string name;
    SettingsValue value;
    if (ParseLine(line, name, value))
      values.Set(name, std::move(value));
    else
      ++values.skippedLines;
  }
  return values;
}
