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

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/BaseException.h"
#include "sov/base/FinalAction.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxFileSize = 1 << 20;
constexpr std::size_t kMaxFileNameLength = 200;  // leaves room for the temp suffix within NAME_MAX
constexpr const char* kStoreFolder = "Ulmek/Zep";
constexpr const char* kLockFileName = ".lock";

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

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

// mkdir -p with 0700 for the folders we make.
void EnsureFolder(const fs::path& folder) {
  fs::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (mkdir(partial.c_str(), 0700) == 0) continue;
    int err = errno;
    if (err != EEXIST) THROW_ERRCODE(err);
    struct stat st {};
    if (stat(partial.c_str(), &st) != 0) THROW_ERRNO();
    if (!S_ISDIR(st.st_mode)) THROW_ERRCODE(ENOTDIR);
  }
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Held for a read-modify-write; zep and zeps may write the same folder.
UniqueFd LockFolder(const fs::path& folder) {
  fs::path lockFile = folder / kLockFileName;
  UniqueFd fd(open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) THROW_ERRNO();
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) THROW_ERRNO();
  }
  return UniqueFd(fd.release());
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      THROW_ERRNO();
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Temp file beside the target, flushed to disk, then renamed over it, so a
// crash or a full disk leaves either the old file or the new one. A key file
// that is a symbolic link (settings kept with the user's dotfiles) is replaced
// at the link's target, so the link survives.
void ReplaceFile(const fs::path& link, std::string_view data) {
  fs::path file = link;
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(link.c_str(), nullptr), &std::free);
    if (real) file = real.get();
  }
  std::string name = ".";
  name += file.filename().string();
  name += ".XXXXXX";
  std::string tmpl = (file.parent_path() / name).string();
  int raw = mkostemp(tmpl.data(), O_CLOEXEC);
  if (raw < 0) THROW_ERRNO();
  UniqueFd fd(raw);
  auto removeTemp = Finally([&tmpl] { unlink(tmpl.c_str()); });
  if (fchmod(fd.get(), 0600) != 0) THROW_ERRNO();
  WriteAll(fd.get(), data);
  if (fsync(fd.get()) != 0) THROW_ERRNO();
  if (close(fd.release()) != 0) THROW_ERRNO();
  if (rename(tmpl.c_str(), file.c_str()) != 0) THROW_ERRNO();
  removeTemp.Dismiss();
  // Make the rename itself durable; a failure here loses nothing we can mend.
  UniqueFd dir(open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
}

}  // namespace

const SettingsValue* SettingsValues::Find(std::string_view name) const {
  for (const auto& [n, v] : items_)
    if (EqualNoCase(n, name)) return &v;
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
    if (EqualNoCase(n, name)) {
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
  if (parts.size() > 3 && EqualNoCase(parts[0], "SOFTWARE") && EqualNoCase(parts[1], "Ulmek") &&
      EqualNoCase(parts[2], "Zep"))
    first = 3;
  else if (parts.size() > 1 && EqualNoCase(parts[0], "SOFTWARE"))
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

fs::path SettingsStore::Root() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  fs::path config;
  if (xdg && xdg[0] == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    config = fs::path(home) / ".config";
  } else {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !pw.pw_dir ||
        pw.pw_dir[0] != '/')
      THROW_ERRCODE(ENOENT);
    config = fs::path(pw.pw_dir) / ".config";
  }
  return config / kStoreFolder;
}

void SettingsStore::Create() const {
  fs::path root = Root();
  fs::path file = root / fileName_;
  struct stat st {};
  if (stat(file.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) THROW_ERRCODE(EISDIR);
    if (!S_ISREG(st.st_mode)) THROW_ERRCODE(EINVAL);
    return;
  }
  if (errno != ENOENT) THROW_ERRNO();
  EnsureFolder(root);
  UniqueFd lock = LockFolder(root);
  // Another process may have made it while we waited for the lock.
  if (stat(file.c_str(), &st) == 0) return;
  if (errno != ENOENT) THROW_ERRNO();
  ReplaceFile(file, Serialize(SettingsValues{}, keyPath_));
}

SettingsValues SettingsStore::ReadFile(const fs::path& file, bool warn) const {
  SettingsValues values;
  auto fail = [&](int err, const char* what) {
    values.readError = err;
    if (warn)
      LOGW << "Settings file " << file.string() << " " << what << " (errno " << err << ", "
           << SystemErrorText(err) << "); its values are not used";
    return values;
  };
  UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT) return values;
    return fail(errno, "cannot be opened");
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return fail(errno, "cannot be examined");
  if (S_ISDIR(st.st_mode)) return fail(EISDIR, "is a folder");
  if (!S_ISREG(st.st_mode)) return fail(EINVAL, "is not a regular file");
  if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) return fail(EFBIG, "is too large");
  std::string text;
  text.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t used = 0;
  while (true) {
    if (used == text.size()) {
      // The file grew since fstat (someone edits it in place).
      if (text.size() > kMaxFileSize) return fail(EFBIG, "is too large");
      text.resize(text.size() * 2);
    }
    ssize_t n = read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno, "cannot be read");
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  text.resize(used);
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
  fs::path root = Root();
  fs::path file = root / fileName_;
  EnsureFolder(root);
  UniqueFd lock = LockFolder(root);
  SettingsValues current = ReadFile(file, true);
  if (current.readError != 0) THROW_ERRCODE(current.readError);
  for (const auto& [name, value] : values) current.Set(name, value);
  ReplaceFile(file, Serialize(current, keyPath_));
}

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
