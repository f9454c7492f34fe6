#include "platform/FileStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/FinalAction.h"

namespace platform {
namespace {

std::string Parent(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
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

}  // namespace

FileKind KindOfFile(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return FileKind::Missing;
    THROW_ERRNO();
  }
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  return S_ISDIR(st.st_mode) ? FileKind::Folder : FileKind::Other;
}

int ReadSmallFile(const std::string& path, std::size_t maxSize, std::string& content) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) return errno;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (static_cast<uint64_t>(st.st_size) > maxSize) return EFBIG;
  std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t used = 0;
  while (true) {
    if (used == text.size()) {
      // The file grew since fstat (someone edits it in place).
      if (text.size() > maxSize) return EFBIG;
      text.resize(text.size() * 2);
    }
    ssize_t n = read(fd.Get(), text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  text.resize(used);
  content = std::move(text);
  return 0;
}

void ReplaceFileAtomically(const std::string& path, std::string_view data) {
  std::string file = path;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (real) file = real.get();
  }
  const std::string folder = Parent(file);
  // ".<name>.XXXXXX" beside the target, built step by step (GCC 12 warns falsely on
  // chained string + at -O2).
  std::string temp = folder;
  temp += "/.";
  temp += file.substr(file.rfind('/') + 1);
  temp += ".XXXXXX";
  UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.Valid()) THROW_ERRNO();
  auto removeTemp = Finally([&temp] { unlink(temp.c_str()); });
  if (fchmod(fd.Get(), 0600) != 0) THROW_ERRNO();
  WriteAll(fd.Get(), data);
  if (fsync(fd.Get()) != 0) THROW_ERRNO();
  if (close(fd.Release()) != 0) THROW_ERRNO();
  if (rename(temp.c_str(), file.c_str()) != 0) THROW_ERRNO();
  removeTemp.Dismiss();
  // Make the rename itself durable; a failure here loses nothing we can mend.
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Valid()) fsync(dir.Get());
}

UniqueFd LockFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.Valid()) THROW_ERRNO();
  while (flock(fd.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) THROW_ERRNO();
  }
  return fd;
}

}  // namespace platform
