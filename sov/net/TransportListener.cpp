#include "sov/net/TransportListener.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

TransportListener::TransportListener(const char* host, const char* service, uint32_t count)
    : TransportBase(count, true) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host, service, &hints, &found);
  if (rc != 0 || found == nullptr)
    throw TransportException(rc == EAI_SYSTEM ? errno : EINVAL, ZEP_SOURCE, __LINE__);
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> info(found, &::freeaddrinfo);

  listening_ = net::NewTcpSocket();
  int fd = listening_.Get();
  // Linux never lets a second socket listen on a bound port, so this only spares us the
  // TIME_WAIT delay after a restart.
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0)
    throw TransportException(errno, ZEP_SOURCE, __LINE__);
  if (::bind(fd, info->ai_addr, info->ai_addrlen) != 0) throw TransportException(errno, ZEP_SOURCE, __LINE__);
  if (::listen(fd, 32) != 0) throw TransportException(errno, ZEP_SOURCE, __LINE__);
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
    throw TransportException(errno, ZEP_SOURCE, __LINE__);
  net::SetNonBlocking(fd, true);
  net::MarkControlTraffic(fd);
}

TransportListener::~TransportListener() = default;

void TransportListener::StartAcceptConnections() {
  // Connections queue in the listening socket's backlog; WaitForConnection takes them
  // into free slots.
  accepting_ = true;
}

bool TransportListener::WaitForConnection(int timeoutMs, int interruptFd) {
  if (!accepting_) StartAcceptConnections();
  bool anyOpen = false;
  for (uint32_t i = 0; i < Count(); ++i) anyOpen = anyOpen || IsOpen(i);
  int wait = anyOpen ? 0 : timeoutMs;
  for (;;) {
    if (net::PollWithInterrupt(listening_.Get(), POLLIN, wait, interruptFd) == 0) break;
    uint32_t slot = 0;
    while (slot < Count() && IsOpen(slot)) ++slot;
    if (slot == Count()) break;
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    int fd = ::accept4(listening_.Get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) continue;
      throw TransportException(errno, ZEP_SOURCE, __LINE__);
    }
    net::UniqueFd accepted(fd);
    if (len != sizeof(sockaddr_in)) throw TransportException(EINVAL, ZEP_SOURCE, __LINE__);
    int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
      throw TransportException(errno, ZEP_SOURCE, __LINE__);
    net::MarkControlTraffic(fd);
    AdoptSocket(slot, accepted.Release());
    SetCurrent(slot);
    peer_ = peer;
    return true;
  }
  return IsOpen(Current());
}

uint16_t TransportListener::LocalPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (::getsockname(listening_.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw TransportException(errno, ZEP_SOURCE, __LINE__);
  return ntohs(addr.sin_port);
}
