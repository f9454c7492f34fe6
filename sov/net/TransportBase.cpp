#include "sov/net/TransportBase.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/net/Socket.h"

namespace {

// A forced close waits this long at most for the peer to finish; a peer that keeps
// streaming or never answers our shutdown must not hold the closing thread.
constexpr int kDrainTimeMs = 250;
constexpr std::size_t kDrainMaxBytes = 4u << 20;
constexpr std::size_t kDrainBufferSize = 8192;
// End of stream carries no system error; ENOTCONN names it.
constexpr int kEndOfStream = ENOTCONN;

void Drain(int fd) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(kDrainTimeMs);
  std::size_t total = 0;
  char buffer[kDrainBufferSize];
  while (total < kDrainMaxBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 1) return;
    total += static_cast<std::size_t>(n);
  }
}

}  // namespace

TransportBase::TransportBase(uint32_t count, bool noDelay)
    : slots_(std::make_unique<Slot[]>(count == 0 ? 1 : count)),
      count_(count == 0 ? 1 : count),
      noDelay_(noDelay) {}

TransportBase::~TransportBase() {
  for (uint32_t i = 0; i < count_; ++i) {
    CloseSocket(i, kForcedClose);
    if (slots_[i].owned >= 0) ::close(slots_[i].owned);
  }
}

int TransportBase::Socket(uint32_t slot) const {
  return slot < count_ ? slots_[slot].fd.load() : -1;
}

void TransportBase::AdoptSocket(uint32_t slot, int fd) {
  Slot& s = slots_[slot];
  if (s.owned >= 0 && s.owned != fd) {
    CloseSocket(slot, kForcedClose);
    ::close(s.owned);
  }
  s.owned = fd;
  s.fd.store(fd);
}

long TransportBase::ReceiveAll(int fd, void* destination, std::size_t length, int& error) {
  auto* p = static_cast<uint8_t*>(destination);
  std::size_t got = 0;
  while (got < length) {
    ssize_t r = ::recv(fd, p + got, length - got, MSG_WAITALL);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r == 0) {
      error = kEndOfStream;
      return 0;
    } else if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
  return static_cast<long>(length);
}

void TransportBase::ReceiveExact(uint32_t slot, void* destination, std::size_t length) {
  if (length == 0) return;
  int fd = Socket(slot);
  if (fd < 0) throw ReceiveException(ENOTCONN, ZEP_SOURCE, __LINE__);
  int error = 0;
  long r = ReceiveAll(fd, destination, length, error);
  if (r == static_cast<long>(length)) return;
  CloseSocket(slot, static_cast<int>(r));
  throw ReceiveException(error, ZEP_SOURCE, __LINE__);
}

uint8_t TransportBase::ReceiveMessageType() {
  if (count_ > 1) WaitForReadableSlot();
  uint8_t type = 0;
  ReceiveExact(current_, &type, 1);
  return type;
}

uint8_t TransportBase::ReceiveByte(uint32_t slot) {
  uint8_t b = 0;
  ReceiveExact(slot, &b, 1);
  return b;
}

void* TransportBase::ReceiveBuffer(void* destination, std::size_t length) {
  ReceiveExact(current_, destination, length);
  return destination;
}

void TransportBase::WaitForReadableSlot() {
  std::vector<pollfd> set(count_);
  for (;;) {
    bool anyOpen = false;
    for (uint32_t i = 0; i < count_; ++i) {
      set[i] = pollfd{Socket(i), POLLIN, 0};
      anyOpen = anyOpen || set[i].fd >= 0;
    }
    // Every slot closed (a forced close from another thread): nothing can ever arrive.
    if (!anyOpen) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
    int r = ::poll(set.data(), set.size(), 1000);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw TransportException(errno, ZEP_SOURCE, __LINE__);
    }
    if (r == 0) continue;
    bool readable = false;
    bool closed = false;
    for (uint32_t i = 0; i < count_; ++i) {
      if (set[i].revents & POLLIN) {
        current_ = i;
        readable = true;
      } else if (set[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        // A readable socket keeps its pending bytes; its read reports the end itself.
        CloseSocket(i, kForcedClose);
        closed = true;
      }
    }
    if (readable) return;
    if (!closed) throw TransportException(EIO, ZEP_SOURCE, __LINE__);
  }
}

bool TransportBase::SendAll(int fd, const void* source, std::size_t length, int& error) {
  auto* p = static_cast<const uint8_t*>(source);
  std::size_t sent = 0;
  while (sent < length) {
    ssize_t r = ::send(fd, p + sent, length - sent, MSG_NOSIGNAL);
    if (r > 0) {
      sent += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      error = r == 0 ? EPIPE : errno;
      return false;
    }
  }
  return true;
}

void TransportBase::SendBuffer(const void* source, std::size_t length) {
  bool delivered = false;
  for (uint32_t i = 0; i < count_; ++i) {
    int fd = Socket(i);
    if (fd < 0) continue;
    int error = 0;
    if (SendAll(fd, source, length, error)) {
      delivered = true;
      continue;
    }
    CloseSocket(i, kForcedClose);
    TransportException e(error, ZEP_SOURCE, __LINE__);
    LOGE_(this) << "SendBuffer"
                << ": unhandled exception: " << e.what();
  }
  if (delivered) return;
  int fd = Socket(current_);
  int error = ENOTCONN;
  if (fd >= 0 && SendAll(fd, source, length, error)) return;
  throw TransportException(error, ZEP_SOURCE, __LINE__);
}

void TransportBase::CloseSocket(uint32_t slot, int lastResult) {
  if (slot >= count_) return;
  int fd = slots_[slot].fd.exchange(-1);
  if (fd < 0) return;
  if (lastResult != 0 && ::shutdown(fd, SHUT_WR) == 0) Drain(fd);
  // Wakes a receive or send blocked on this socket in another thread. The descriptor stays
  // reserved until destruction so its number is not reused under that thread.
  ::shutdown(fd, SHUT_RDWR);
}

void TransportBase::CloseAllSockets() {
  for (uint32_t i = 0; i < count_; ++i) CloseSocket(i, kForcedClose);
}

void TransportBase::SetReceiveTimeout(uint32_t milliseconds) {
  int fd = Socket(current_);
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  if (fd < 0) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0)
    throw TransportException(errno, ZEP_SOURCE, __LINE__);
}

void TransportBase::Skip(std::size_t length) {
  int fd = Socket(current_);
  if (fd < 0) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
  uint8_t buffer[kDrainBufferSize];
  while (length > 0) {
    std::size_t n = length < sizeof(buffer) ? length : sizeof(buffer);
    int error = 0;
    if (ReceiveAll(fd, buffer, n, error) != static_cast<long>(n))
      throw TransportException(error, ZEP_SOURCE, __LINE__);
    length -= n;
  }
}

void TransportBase::SetBlocking(bool blocking) {
  for (uint32_t i = 0; i < count_; ++i) {
    int fd = Socket(i);
    if (fd >= 0) net::SetNonBlocking(fd, !blocking);
  }
}
