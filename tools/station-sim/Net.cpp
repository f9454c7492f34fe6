#include "tools/station-sim/Net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tools/station-sim/EventLog.h"

namespace station {

StopSignal::StopSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!fd_.Valid()) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
}

void StopSignal::Set() {
  uint64_t one = 1;
  ssize_t r = write(fd_.Get(), &one, sizeof one);
  (void)r;
}

bool StopSignal::IsSet() const {
  pollfd p{fd_.Get(), POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

bool StopSignal::Sleep(int64_t ms) const {
  pollfd p{fd_.Get(), POLLIN, 0};
  return poll(&p, 1, static_cast<int>(ms < 0 ? 0 : ms)) == 0;
}

const char* IoResultName(IoResult r) {
  switch (r) {
    case IoResult::Ok:
      return "ok";
    case IoResult::Closed:
      return "closed by peer";
    case IoResult::Timeout:
      return "timed out";
    case IoResult::Stopped:
      return "station stopping";
    default:
      return "socket error";
  }
}

namespace {

sockaddr_in MakeAddress(const std::string& address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    throw std::runtime_error("not a dotted IPv4 address: " + address);
  return sa;
}

}  // namespace

platform::UniqueFd OpenTcpListener(const std::string& address, int port) {
  sockaddr_in sa = MakeAddress(address, port);
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  int one = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    throw std::runtime_error("bind tcp " + address + ":" + std::to_string(port) + ": " + strerror(errno));
  // Room for a burst: every channel of several clients may reconnect at once.
  if (listen(fd.Get(), 128) != 0) throw std::runtime_error(std::string("listen: ") + strerror(errno));
  return fd;
}

platform::UniqueFd OpenUdpSocket(const std::string& address, int port) {
  sockaddr_in sa = MakeAddress(address, port);
  platform::UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  int size = 8 << 20;
  setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    throw std::runtime_error("bind udp " + address + ":" + std::to_string(port) + ": " + strerror(errno));
  return fd;
}

IoResult WaitReadable(int fd, const StopSignal& stop, int64_t timeoutMs) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
  for (;;) {
    int r = poll(p, 2, timeoutMs < 0 ? -1 : static_cast<int>(timeoutMs));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoResult::Error;
    if (p[1].revents) return IoResult::Stopped;
    if (r == 0) return IoResult::Timeout;
    return IoResult::Ok;  // readable, or an error/hang-up that the next recv reports
  }
}

IoResult RecvExact(int fd, void* buf, std::size_t n, const StopSignal& stop, int64_t timeoutMs) {
  auto* out = static_cast<uint8_t*>(buf);
  const int64_t deadline = timeoutMs < 0 ? -1 : NowMicros() / 1000 + timeoutMs;
  std::size_t got = 0;
  while (got < n) {
    int64_t wait = -1;
    if (deadline >= 0) {
      wait = deadline - NowMicros() / 1000;
      if (wait <= 0) return IoResult::Timeout;
    }
    IoResult w = WaitReadable(fd, stop, wait);
    if (w != IoResult::Ok) return w;
    ssize_t r = recv(fd, out + got, n - got, MSG_DONTWAIT);
    if (r == 0) return IoResult::Closed;
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return IoResult::Error;
    }
    got += static_cast<std::size_t>(r);
  }
  return IoResult::Ok;
}

IoResult SendAll(int fd, const void* buf, std::size_t n, const StopSignal& stop) {
  const auto* in = static_cast<const uint8_t*>(buf);
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = send(fd, in + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p[2] = {{fd, POLLOUT, 0}, {stop.Fd(), POLLIN, 0}};
      int pr = poll(p, 2, 1000);
      if (pr < 0 && errno != EINTR) return IoResult::Error;
      if (p[1].revents) return IoResult::Stopped;
      continue;
    }
    return (r < 0 && (errno == EPIPE || errno == ECONNRESET)) ? IoResult::Closed : IoResult::Error;
  }
  return IoResult::Ok;
}

std::string PeerName(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return "?";
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

}  // namespace station
