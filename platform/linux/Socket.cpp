#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/Waitable.h"

namespace platform {
namespace {

int SetIntOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof(value)) == 0 ? 0 : errno;
}

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(endpoint.port);
  addr.sin_addr.s_addr = endpoint.address;
  return addr;
}

// Waits until the socket is ready for `events` (errors count as ready, so the next call sees
// them) or the interrupt is signalled: 0, kSocketInterrupted or kSocketTimedOut.
int WaitReady(int fd, short events, Waitable* interrupt, int timeoutMs) {
  const PollFd socket{fd, events};
  int r = interrupt != nullptr ? WaitAnyFd(std::span(&socket, 1), std::span(&interrupt, 1), timeoutMs)
                               : WaitAnyFd(std::span(&socket, 1), {}, timeoutMs);
  if (r == kWaitTimeout) return kSocketTimedOut;
  return r == 0 ? 0 : kSocketInterrupted;
}

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

int ConnectError(int fd) {
  int error = 0;
  socklen_t len = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
  return error;
}

}  // namespace

int ParseIpv4(const char* dotted, uint16_t port, Ipv4Endpoint& out) {
  in_addr addr{};
  if (dotted == nullptr || ::inet_pton(AF_INET, dotted, &addr) != 1) return EINVAL;
  out = {addr.s_addr, port};
  return 0;
}

int OpenTcpSocket(UniqueFd& out) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return errno;
  out.Reset(fd);
  return 0;
}

int ConfigureStreamSocket(int fd, bool noDelay) {
  if (int e = SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) return e;
  // Probe after one second of silence and every second after that, so a dead station is
  // noticed within seconds instead of hours.
  if (int e = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 1)) return e;
  if (int e = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1)) return e;
  if (noDelay)
    if (int e = SetNoDelay(fd)) return e;
  MarkControlTraffic(fd);
  return 0;
}

int SetNoDelay(int fd) {
  return SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}

void MarkControlTraffic(int fd) {
  (void)SetIntOption(fd, IPPROTO_IP, IP_TOS, 0xE0);
  (void)SetIntOption(fd, SOL_SOCKET, SO_PRIORITY, 6);
}

int SetNonBlocking(int fd, bool nonBlocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return errno;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : errno;
}

int Connect(int fd, const Ipv4Endpoint& peer, Waitable* interrupt) {
  // Connecting through a wait keeps it interruptible and immune to EINTR.
  if (int e = SetNonBlocking(fd, true)) return e;
  int e = StartConnect(fd, peer);
  if (e == EINPROGRESS || e == EINTR) {
    e = WaitReady(fd, POLLOUT, interrupt, -1);
    if (e == 0) e = ConnectError(fd);
  }
  if (e != 0) return e;
  return SetNonBlocking(fd, false);
}

int StartConnect(int fd, const Ipv4Endpoint& peer) {
  sockaddr_in addr = ToSockaddr(peer);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : errno;
}

int FinishConnect(int fd, int timeoutMs, Waitable* interrupt) {
  if (int e = WaitReady(fd, POLLOUT, interrupt, timeoutMs)) return e;
  return ConnectError(fd);
}

int SendExact(int fd, const void* source, std::size_t length, Waitable* interrupt, std::size_t& done) {
  auto* p = static_cast<const uint8_t*>(source);
  done = 0;
  while (done < length) {
    ssize_t r = ::send(fd, p + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) return EPIPE;
    if (errno == EINTR) continue;
    if (!WouldBlock(errno)) return errno;
    if (int e = WaitReady(fd, POLLOUT, interrupt, -1)) return e;
  }
  return 0;
}

int ReceiveSome(int fd, void* destination, std::size_t length, Waitable* interrupt, int timeoutMs,
                std::size_t& got) {
  got = 0;
  for (;;) {
    // Data already there is taken without a wait; the wait comes only when the socket is empty.
    ssize_t r = ::recv(fd, destination, length, MSG_DONTWAIT);
    if (r > 0) {
      got = static_cast<std::size_t>(r);
      return 0;
    }
    if (r == 0) return kSocketEndOfStream;
    if (errno == EINTR) continue;
    if (!WouldBlock(errno)) return errno;
    if (int e = WaitReady(fd, POLLIN, interrupt, timeoutMs)) return e;
  }
}

int ShutdownSend(int fd) {
  return ::shutdown(fd, SHUT_WR) == 0 ? 0 : errno;
}

void ShutdownBoth(int fd) {
  ::shutdown(fd, SHUT_RDWR);
}

int ListenTcp(const char* host, const char* service, int backlog, UniqueFd& out) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host, service, &hints, &found);
  if (rc != 0 || found == nullptr) return rc == EAI_SYSTEM ? errno : EINVAL;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> info(found, &::freeaddrinfo);

  UniqueFd socket;
  if (int e = OpenTcpSocket(socket)) return e;
  int fd = socket.Get();
  // Linux never lets a second socket listen on a bound port, so this only spares us the
  // TIME_WAIT delay after a restart.
  if (int e = SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) return e;
  if (::bind(fd, info->ai_addr, info->ai_addrlen) != 0) return errno;
  if (::listen(fd, backlog) != 0) return errno;
  if (int e = SetNoDelay(fd)) return e;
  if (int e = SetNonBlocking(fd, true)) return e;
  MarkControlTraffic(fd);
  out = std::move(socket);
  return 0;
}

int Accept(int listeningFd, UniqueFd& out, Ipv4Endpoint& peer) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  int fd = ::accept4(listeningFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  if (fd < 0) return errno;
  UniqueFd accepted(fd);
  if (len != sizeof(sockaddr_in)) return EINVAL;
  peer = {addr.sin_addr.s_addr, ntohs(addr.sin_port)};
  out = std::move(accepted);
  return 0;
}

int LocalPort(int fd, uint16_t& port) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return errno;
  port = ntohs(addr.sin_port);
  return 0;
}

int OpenConnectedUdp(const Ipv4Endpoint& peer, int bufferSize, UniqueFd& out) {
  UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!socket.Valid()) return errno;
  if (int e = StartConnect(socket.Get(), peer)) return e;
  if (int e = SetNonBlocking(socket.Get(), true)) return e;
  // The kernel caps plain requests at its maximum; the forcing variant needs privileges, so it
  // is only tried.
  for (int opt : {SO_SNDBUF, SO_RCVBUF}) {
    int force = opt == SO_SNDBUF ? SO_SNDBUFFORCE : SO_RCVBUFFORCE;
    if (SetIntOption(socket.Get(), SOL_SOCKET, force, bufferSize) != 0)
      if (int e = SetIntOption(socket.Get(), SOL_SOCKET, opt, bufferSize)) return e;
  }
  out = std::move(socket);
  return 0;
}

int SendDatagrams(int fd, std::span<const std::span<const uint8_t>> datagrams, Waitable* interrupt) {
  constexpr std::size_t kBatch = 64;
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  while (!datagrams.empty()) {
    std::size_t n = std::min(datagrams.size(), kBatch);
    for (std::size_t i = 0; i < n; ++i) {
      iov[i] = {const_cast<uint8_t*>(datagrams[i].data()), datagrams[i].size()};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int r = ::sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
    if (r > 0) {
      datagrams = datagrams.subspan(static_cast<std::size_t>(r));
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && !WouldBlock(errno)) return errno;
    if (int e = WaitReady(fd, POLLOUT, interrupt, -1)) return e;
  }
  return 0;
}

int ReceiveDatagrams(int fd, std::span<const std::span<uint8_t>> slots, std::span<std::size_t> lengths,
                     int waitMs, Waitable* interrupt, std::size_t& count) {
  constexpr std::size_t kBatch = 64;
  count = 0;
  if (int e = WaitReady(fd, POLLIN, interrupt, waitMs)) return e == kSocketTimedOut ? 0 : e;
  std::size_t n = std::min({slots.size(), lengths.size(), kBatch});
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  for (std::size_t i = 0; i < n; ++i) {
    iov[i] = {slots[i].data(), slots[i].size()};
    msgs[i] = {};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  int r = ::recvmmsg(fd, msgs, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
  if (r < 0) return WouldBlock(errno) || errno == EINTR ? 0 : errno;
  for (int i = 0; i < r; ++i) {
    if (msgs[i].msg_hdr.msg_flags != 0) return EMSGSIZE;
    lengths[static_cast<std::size_t>(i)] = msgs[i].msg_len;
    ++count;
  }
  return 0;
}

}  // namespace platform
