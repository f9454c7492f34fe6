// File mechanics of the settings store on Win32: files opened with full sharing (a reader never
// blocks a replacement), replaced through MoveFileExW, locked with LockFileEx.
#include "platform/FileStore.h"

#include <cerrno>

#include "ErrorHandling/ErrorHandling.h"
#include "platform/win32/Win32.h"
#include "sov/base/FinalAction.h"

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void ThrowLastError(int line) {
  throw ErrCodeException(win32::ErrnoFromWin32(::GetLastError()), ZEP_SOURCE, line);
}

std::size_t LastSeparator(const std::string& path) {
  return path.find_last_of("/\\");
}

// The target of a symbolic link, so that a replacement keeps the link; the path itself otherwise.
std::string FinalPath(const std::string& path) {
  std::wstring wide = win32::Widen(path);
  DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
  HANDLE h =
      ::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  auto closeHandle = Finally([h] { ::CloseHandle(h); });
  std::wstring target(MAX_PATH, L'\0');
  DWORD n =
      ::GetFinalPathNameByHandleW(h, target.data(), static_cast<DWORD>(target.size()), FILE_NAME_NORMALIZED);
  if (n >= target.size()) {
    target.resize(n + 1);
    n = ::GetFinalPathNameByHandleW(h, target.data(), static_cast<DWORD>(target.size()),
                                    FILE_NAME_NORMALIZED);
  }
  if (n == 0 || n >= target.size()) return path;
  target.resize(n);
  return win32::Narrow(target);
}

void WriteAll(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    DWORD written = 0;
    DWORD piece = static_cast<DWORD>(std::min<std::size_t>(data.size(), 0x40000000));
    if (!::WriteFile(h, data.data(), piece, &written, nullptr)) ThrowLastError(__LINE__);
    data.remove_prefix(written);
  }
}

}  // namespace

FileKind KindOfFile(const std::string& path) {
  DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    int err = win32::ErrnoFromWin32(::GetLastError());
    if (err == ENOENT) return FileKind::Missing;
    throw ErrCodeException(err, ZEP_SOURCE, __LINE__);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Folder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::Other;
  return FileKind::Regular;
}

int ReadSmallFile(const std::string& path, std::size_t maxSize, std::string& content) {
  const std::wstring wide = win32::Widen(path);
  DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return win32::ErrnoFromWin32(::GetLastError());
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return win32::ErrnoFromWin32(::GetLastError());
  auto closeHandle = Finally([h] { ::CloseHandle(h); });
  if (::GetFileType(h) != FILE_TYPE_DISK) return EINVAL;  // a pipe or a device would block the reader
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) return win32::ErrnoFromWin32(::GetLastError());
  if (static_cast<uint64_t>(size.QuadPart) > maxSize) return EFBIG;
  std::string text(static_cast<std::size_t>(size.QuadPart) + 1, '\0');
  std::size_t used = 0;
  while (true) {
    if (used == text.size()) {
      // The file grew since the size was read (someone edits it in place).
      if (text.size() > maxSize) return EFBIG;
      text.resize(text.size() * 2);
    }
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size() - used, 0x40000000));
    if (!::ReadFile(h, text.data() + used, want, &got, nullptr))
      return win32::ErrnoFromWin32(::GetLastError());
    if (got == 0) break;
    used += got;
  }
  text.resize(used);
  content = std::move(text);
  return 0;
}

void ReplaceFileAtomically(const std::string& path, std::string_view data) {
  const std::string file = FinalPath(path);
  const std::size_t slash = LastSeparator(file);
  const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash);
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  // ".<name>.<random>" beside the target; CREATE_NEW never reuses a name another writer holds.
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
    unsigned char random[6];
    ::BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    std::string suffix;
    for (unsigned char c : random) suffix += "0123456789abcdefghijklmnopqrstuvwxyz"[c % 36];
    temp = win32::Widen(folder + "/." + name + "." + suffix);
    h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) ThrowLastError(__LINE__);
  }
  if (h == INVALID_HANDLE_VALUE) ThrowLastError(__LINE__);
  auto removeTemp = Finally([&temp] { ::DeleteFileW(temp.c_str()); });
  {
    auto closeHandle = Finally([&h] {
      if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    });
    WriteAll(h, data);
    if (!::FlushFileBuffers(h)) ThrowLastError(__LINE__);
    HANDLE written = std::exchange(h, INVALID_HANDLE_VALUE);
    if (!::CloseHandle(written)) ThrowLastError(__LINE__);
  }
  // A program holding the old file open without delete sharing (an editor, a virus scanner)
  // blocks the rename for a moment; a few tries ride that out.
  const std::wstring target = win32::Widen(file);
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      break;
    const DWORD error = ::GetLastError();
    if (attempt == 9 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
      ThrowLastError(__LINE__);
    ::Sleep(50);
  }
  removeTemp.Dismiss();
}

UniqueFd LockFile(const std::string& path) {
  HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError(__LINE__);
  UniqueFd fd(win32::FromHandle(h));
  OVERLAPPED whole{};
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) ThrowLastError(__LINE__);
  return fd;
}

}  // namespace platform
