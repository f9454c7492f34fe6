// Winsock 2 behind the socket calls. Every socket is non-blocking inside the system: Winsock
// has no MSG_DONTWAIT and no way to ask a socket's mode, and every call here waits for
// readiness itself, so the blocking mode a caller asks for changes nothing it can see.
#include "platform/Socket.h"

#include <winsock2.h>
// After winsock2.h, which they build on.
#include <mstcpip.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include "platform/WaitBackend.h"
#include "platform/Waitable.h"
#include "platform/win32/Win32.h"

namespace platform {
namespace {

using win32::ToSocket;

int LastError() {
  return win32::ErrnoFromWsa(::WSAGetLastError());
}

int SetIntOption(int fd, int level, int name, int value) {
  return ::setsockopt(ToSocket(fd), level, name, reinterpret_cast<const char*>(&value), sizeof(value)) == 0
             ? 0
             : LastError();
}

int MakeNonBlocking(int fd) {
  u_long on = 1;
  return ::ioctlsocket(ToSocket(fd), FIONBIO, &on) == 0 ? 0 : LastError();
}

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(endpoint.port);
  addr.sin_addr.s_addr = endpoint.address;
  return addr;
}

int WaitReady(int fd, short events, Waitable* interrupt, int timeoutMs) {
  const PollFd socket{fd, events};
  int r = interrupt != nullptr ? WaitAnyFd(std::span(&socket, 1), std::span(&interrupt, 1), timeoutMs)
                               : WaitAnyFd(std::span(&socket, 1), {}, timeoutMs);
  if (r == kWaitTimeout) return kSocketTimedOut;
  return r == 0 ? 0 : kSocketInterrupted;
}

// ShutdownBoth must end a receive or send that waits in another thread, as it does on Linux, but
// WSAPoll does not report a socket shut down on this side (under Wine it never wakes). So the
// transfers wait in pieces of at most this long and try the call again, which then fails.
constexpr int kShutdownCheckMs = 20;

// The length of the next piece of a wait for readiness: kShutdownCheckMs at most, and never past
// the deadline; 0 once the deadline has passed. timeoutMs < 0 waits without limit.
class WaitPieces {
 public:
  explicit WaitPieces(int timeoutMs) : deadline_(timeoutMs) {}
  int Next() const {
    if (deadline_.Infinite()) return kShutdownCheckMs;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_.Left()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, kShutdownCheckMs));
  }

 private:
  wait_backend::Deadline deadline_;
};

// Waits one piece for the socket to turn ready: 0 when it is (or the piece ended, so that the
// caller tries again), kSocketTimedOut once the whole wait is spent, or kSocketInterrupted.
int WaitPiece(int fd, short events, Waitable* interrupt, const WaitPieces& wait) {
  int piece = wait.Next();
  if (piece == 0) return kSocketTimedOut;
  int e = WaitReady(fd, events, interrupt, piece);
  return e == kSocketTimedOut ? 0 : e;
}

int ConnectError(int fd) {
  int error = 0;
  int len = sizeof(error);
  if (::getsockopt(ToSocket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0)
    return LastError();
  return win32::ErrnoFromWsa(error);
}

int OpenSocket(int type, int protocol, UniqueFd& out) {
  win32::EnsureWinsock();
  // Not inherited by children (WSA_FLAG_NO_HANDLE_INHERIT), as SOCK_CLOEXEC on Linux.
  SOCKET s =
      ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return LastError();
  UniqueFd socket(win32::FromSocket(s));
  if (int e = MakeNonBlocking(socket.Get())) return e;
  out = std::move(socket);
  return 0;
}

}  // namespace

int ParseIpv4(const char* dotted, uint16_t port, Ipv4Endpoint& out) {
  win32::EnsureWinsock();
  in_addr addr{};
  if (dotted == nullptr || ::inet_pton(AF_INET, dotted, &addr) != 1) return EINVAL;
  out = {addr.s_addr, port};
  return 0;
}

int OpenTcpSocket(UniqueFd& out) {
  return OpenSocket(SOCK_STREAM, IPPROTO_TCP, out);
}

int ConfigureStreamSocket(int fd, bool noDelay) {
  if (int e = SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) return e;
  // Probe after one second of silence and every second after that, so a dead station is
  // noticed within seconds instead of hours.
  tcp_keepalive keepalive{1, 1000, 1000};
  DWORD returned = 0;
  if (::WSAIoctl(ToSocket(fd), SIO_KEEPALIVE_VALS, &keepalive, sizeof(keepalive), nullptr, 0, &returned,
                 nullptr, nullptr) != 0)
    return LastError();
  if (noDelay)
    if (int e = SetNoDelay(fd)) return e;
  MarkControlTraffic(fd);
  return 0;
}

int SetNoDelay(int fd) {
  return SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}

void MarkControlTraffic(int fd) {
  // Windows ignores IP_TOS unless a policy allows it (qWAVE sets DSCP for a flow); best effort.
  (void)SetIntOption(fd, IPPROTO_IP, IP_TOS, 0xE0);
}

int SetNonBlocking(int fd, bool /*nonBlocking*/) {
  // Stays non-blocking inside (see above); only the socket's validity is checked.
  int type = 0;
  int len = sizeof(type);
  if (::getsockopt(ToSocket(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0)
    return LastError();
  return 0;
}

int Connect(int fd, const Ipv4Endpoint& peer, Waitable* interrupt) {
  int e = StartConnect(fd, peer);
  if (e == EINPROGRESS) {
    e = WaitReady(fd, kWaitWritable, interrupt, -1);
    if (e == 0) e = ConnectError(fd);
  }
  return e;
}

int StartConnect(int fd, const Ipv4Endpoint& peer) {
  sockaddr_in addr = ToSockaddr(peer);
  if (::connect(ToSocket(fd), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) return 0;
  int e = ::WSAGetLastError();
  // A non-blocking connect under way reports "would block" on Windows.
  return e == WSAEWOULDBLOCK ? EINPROGRESS : win32::ErrnoFromWsa(e);
}

int FinishConnect(int fd, int timeoutMs, Waitable* interrupt) {
  if (int e = WaitReady(fd, kWaitWritable, interrupt, timeoutMs)) return e;
  return ConnectError(fd);
}

int SendExact(int fd, const void* source, std::size_t length, Waitable* interrupt, std::size_t& done) {
  auto* p = static_cast<const char*>(source);
  done = 0;
  const WaitPieces wait(-1);
  while (done < length) {
    int piece = static_cast<int>(std::min<std::size_t>(length - done, 0x40000000));
    int r = ::send(ToSocket(fd), p + done, piece, 0);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) return EPIPE;
    int e = LastError();
    if (e == EINTR) continue;
    if (e != EAGAIN) return e;
    if (int w = WaitPiece(fd, kWaitWritable, interrupt, wait)) return w;
  }
  return 0;
}

int ReceiveSome(int fd, void* destination, std::size_t length, Waitable* interrupt, int timeoutMs,
                std::size_t& got) {
  got = 0;
  int piece = static_cast<int>(std::min<std::size_t>(length, 0x40000000));
  const WaitPieces wait(timeoutMs);
  for (;;) {
    int r = ::recv(ToSocket(fd), static_cast<char*>(destination), piece, 0);
    if (r > 0) {
      got = static_cast<std::size_t>(r);
      return 0;
    }
    if (r == 0) return kSocketEndOfStream;
    int wsa = ::WSAGetLastError();
    // Shut down on this side: Linux reads the end of the stream there, and so do we.
    if (wsa == WSAESHUTDOWN) return kSocketEndOfStream;
    int e = win32::ErrnoFromWsa(wsa);
    if (e == EINTR) continue;
    if (e != EAGAIN) return e;
    if (int w = WaitPiece(fd, kWaitReadable, interrupt, wait)) return w;
  }
}

int ShutdownSend(int fd) {
  return ::shutdown(ToSocket(fd), SD_SEND) == 0 ? 0 : LastError();
}

void ShutdownBoth(int fd) {
  ::shutdown(ToSocket(fd), SD_BOTH);
}

int ListenTcp(const char* host, const char* service, int backlog, UniqueFd& out) {
  win32::EnsureWinsock();
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host, service, &hints, &found);
  if (rc != 0 || found == nullptr) return EINVAL;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> info(found, &::freeaddrinfo);

  UniqueFd socket;
  if (int e = OpenTcpSocket(socket)) return e;
  int fd = socket.Get();
  // SO_REUSEADDR on Windows would let another socket take over a bound port; the exclusive
  // option keeps it ours (and Windows has no TIME_WAIT hold on a listening port to spare).
  if (int e = SetIntOption(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1)) return e;
  if (::bind(ToSocket(fd), info->ai_addr, static_cast<int>(info->ai_addrlen)) != 0) return LastError();
  if (::listen(ToSocket(fd), backlog) != 0) return LastError();
  if (int e = SetNoDelay(fd)) return e;
  MarkControlTraffic(fd);
  out = std::move(socket);
  return 0;
}

int Accept(int listeningFd, UniqueFd& out, Ipv4Endpoint& peer) {
  sockaddr_in addr{};
  int len = sizeof(addr);
  SOCKET s = ::accept(ToSocket(listeningFd), reinterpret_cast<sockaddr*>(&addr), &len);
  if (s == INVALID_SOCKET) return LastError();
  UniqueFd accepted(win32::FromSocket(s));
  // An accepted socket takes the listener's non-blocking mode; inheritance is switched off.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (int e = MakeNonBlocking(accepted.Get())) return e;
  if (len != sizeof(sockaddr_in)) return EINVAL;
  peer = {addr.sin_addr.s_addr, ntohs(addr.sin_port)};
  out = std::move(accepted);
  return 0;
}

int LocalPort(int fd, uint16_t& port) {
  sockaddr_in addr{};
  int len = sizeof(addr);
  if (::getsockname(ToSocket(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return LastError();
  port = ntohs(addr.sin_port);
  return 0;
}

int OpenConnectedUdp(const Ipv4Endpoint& peer, int bufferSize, UniqueFd& out) {
  UniqueFd socket;
  if (int e = OpenSocket(SOCK_DGRAM, IPPROTO_UDP, socket)) return e;
  if (int e = StartConnect(socket.Get(), peer)) return e;
  for (int opt : {SO_SNDBUF, SO_RCVBUF})
    if (int e = SetIntOption(socket.Get(), SOL_SOCKET, opt, bufferSize)) return e;
  out = std::move(socket);
  return 0;
}

int SendDatagrams(int fd, std::span<const std::span<const uint8_t>> datagrams, Waitable* interrupt) {
  while (!datagrams.empty()) {
    const auto& d = datagrams.front();
    int r = ::send(ToSocket(fd), reinterpret_cast<const char*>(d.data()), static_cast<int>(d.size()), 0);
    if (r >= 0) {
      datagrams = datagrams.subspan(1);
      continue;
    }
    int e = LastError();
    if (e == EINTR) continue;
    if (e != EAGAIN) return e;
    if (int w = WaitReady(fd, kWaitWritable, interrupt, -1)) return w;
  }
  return 0;
}

int ReceiveDatagrams(int fd, std::span<const std::span<uint8_t>> slots, std::span<std::size_t> lengths,
                     int waitMs, Waitable* interrupt, std::size_t& count) {
  count = 0;
  if (int e = WaitReady(fd, kWaitReadable, interrupt, waitMs)) return e == kSocketTimedOut ? 0 : e;
  std::size_t n = std::min(slots.size(), lengths.size());
  for (std::size_t i = 0; i < n; ++i) {
    int r =
        ::recv(ToSocket(fd), reinterpret_cast<char*>(slots[i].data()), static_cast<int>(slots[i].size()), 0);
    if (r < 0) {
      int wsa = ::WSAGetLastError();
      if (wsa == WSAEMSGSIZE) return EMSGSIZE;
      // Windows reports the peer's ICMP port-unreachable on a connected UDP socket as a reset;
      // Linux calls it a refusal, and the transports know it by that name.
      if (wsa == WSAECONNRESET) return count > 0 ? 0 : ECONNREFUSED;
      int e = win32::ErrnoFromWsa(wsa);
      // The queue is empty: what was taken so far is the result.
      if (e == EAGAIN || e == EINTR) return 0;
      return count > 0 ? 0 : e;
    }
    lengths[i] = static_cast<std::size_t>(r);
    ++count;
  }
  return 0;
}

}  // namespace platform
