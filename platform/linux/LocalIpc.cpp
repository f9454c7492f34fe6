#include "platform/LocalIpc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "sov/base/BaseException.h"

namespace platform {

namespace {

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) throw ErrCodeException(ENAMETOOLONG, ZEP_SOURCE, __LINE__);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// poll on one descriptor, retried on EINTR with the time that is left. >0 ready, 0 time-out.
int PollOne(int fd, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, timeoutMs < 0 ? -1 : static_cast<int>(left > 0 ? left : 0));
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int RuntimeFolder(std::string& path) {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value != nullptr && value[0] == '/') {
    path = value;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return 0;
  }
  const std::string fallback = "/run/user/" + std::to_string(::getuid());
  struct stat st {};
  if (::stat(fallback.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) {
    path = fallback;
    return 0;
  }
  return ENOENT;
}

std::optional<InstanceLock> InstanceLock::TryAcquire(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.Valid()) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return std::nullopt;
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  }
  return InstanceLock(std::move(fd));
}

MessageServer::MessageServer(const std::string& path) : path_(path) {
  const sockaddr_un address = UnixAddress(path);
  listening_.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listening_.Valid()) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  ::unlink(path.c_str());
  // fchmod before bind sets the mode the socket file is created with, so it is never open
  // to others, not even for a moment.
  ::fchmod(listening_.Get(), 0600);
  if (::bind(listening_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(listening_.Get(), 32) != 0)
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
}

MessageServer::~MessageServer() {
  ::unlink(path_.c_str());
}

std::optional<std::string> MessageServer::ReceiveOne(std::size_t maxBytes, int timeoutMs, Waitable* stop) {
  UniqueFd client(::accept4(listening_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!client.Valid()) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
      return std::nullopt;
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  }
  if (stop != nullptr) {
    const int fds[] = {client.Get()};
    Waitable* objects[] = {stop};
    if (WaitAnyFd(fds, objects, timeoutMs) != 0) return std::nullopt;
  } else if (PollOne(client.Get(), POLLIN, timeoutMs) <= 0) {
    return std::nullopt;
  }
  std::string message(maxBytes, '\0');
  // MSG_TRUNC reports the whole message's length, so a longer one is recognised and dropped.
  const ssize_t n = ::recv(client.Get(), message.data(), maxBytes, MSG_TRUNC);
  if (n <= 0 || static_cast<std::size_t>(n) > maxBytes) return std::nullopt;
  message.resize(static_cast<std::size_t>(n));
  return message;
}

bool SendMessage(const std::string& path, const std::string& message) {
  const sockaddr_un address = UnixAddress(path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED) return false;
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  }
  if (::send(fd.Get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size()))
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  return true;
}

FifoSignal::FifoSignal(const std::string& path, const RunAs* owner) : path_(path) {
  ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0600) != 0) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  auto fail = [this](int err) {
    ::unlink(path_.c_str());
    throw ErrCodeException(err, ZEP_SOURCE, __LINE__);
  };
  // The read end first: a non-blocking open for writing needs a reader. The folder may belong
  // to the user we hand the FIFO to, who could swap the name under us; so mode and owner are
  // set through the descriptor, which must be the FIFO, never a file a link points to.
  read_.Reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (!read_.Valid()) fail(errno);
  struct stat st {};
  if (::fstat(read_.Get(), &st) != 0) fail(errno);
  if (!S_ISFIFO(st.st_mode)) fail(EEXIST);
  if (::fchmod(read_.Get(), 0600) != 0) fail(errno);
  if (owner != nullptr && ::fchown(read_.Get(), owner->uid, owner->gid) != 0) fail(errno);
  // The write end reopens the very FIFO we read from.
  write_.Reset(
      ::open(("/proc/self/fd/" + std::to_string(read_.Get())).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!write_.Valid()) fail(errno);
}

FifoSignal::~FifoSignal() {
  ::unlink(path_.c_str());
}

bool FifoSignal::TryAcquire() {
  bool any = false;
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(read_.Get(), buffer, sizeof buffer);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return any;
  }
}

bool SetFifoSignal(const std::string& path) {
  // Non-blocking: an open for writing would otherwise wait for a reader that may never come.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) {
    if (errno == ENOENT || errno == ENXIO) return false;
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  }
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  if (!S_ISFIFO(info.st_mode)) return false;  // a plain file of that name is no signal
  const char byte = 1;
  for (;;) {
    const ssize_t written = ::write(fd.Get(), &byte, 1);
    if (written == 1) return true;
    if (written < 0 && errno == EINTR) continue;
    // A full pipe already holds pending bytes, so the reader is signalled anyway.
    if (written < 0 && errno == EAGAIN) return true;
    throw ErrCodeException(written < 0 ? errno : EIO, ZEP_SOURCE, __LINE__);
  }
}

UniqueFd ConnectStream(const std::string& path) {
  const sockaddr_un address = UnixAddress(path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return UniqueFd();
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) | O_NONBLOCK);
  return fd;
}

bool WriteAll(int fd, const void* data, std::size_t length, int timeoutMs) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      length -= static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (PollOne(fd, POLLOUT, timeoutMs) <= 0) return false;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

long ReadSome(int fd, void* data, std::size_t length, int timeoutMs, bool* ended) {
  if (ended != nullptr) *ended = false;
  const int ready = PollOne(fd, POLLIN, timeoutMs);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  for (;;) {
    const ssize_t n = ::read(fd, data, length);
    if (n > 0) return n;
    if (n == 0) {
      if (ended != nullptr) *ended = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

}  // namespace platform
