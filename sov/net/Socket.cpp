#include "sov/net/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "sov/base/BaseException.h"

namespace net {

UniqueFd NewTcpSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) throw TransportException(errno, ZEP_SOURCE, __LINE__);
  return UniqueFd(fd);
}

namespace {
void SetIntOption(int fd, int level, int name, int value) {
  if (::setsockopt(fd, level, name, &value, sizeof(value)) != 0)
    throw TransportException(errno, ZEP_SOURCE, __LINE__);
}
}  // namespace

void ConfigureStreamSocket(int fd, bool noDelay) {
  SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  // Probe after one second of silence and every second after that, so a dead station is
  // noticed within seconds instead of hours.
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 1);
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1);
  if (noDelay) SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  MarkControlTraffic(fd);
}

void MarkControlTraffic(int fd) {
  // DSCP CS7 for control traffic; without the privilege the traffic simply flows unmarked.
  int tos = 0xE0;
  (void)::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof(tos));
  int priority = 6;
  (void)::setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &priority, sizeof(priority));
}

void SetNonBlocking(int fd, bool nonBlocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) throw TransportException(errno, ZEP_SOURCE, __LINE__);
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(fd, F_SETFL, flags) != 0) throw TransportException(errno, ZEP_SOURCE, __LINE__);
}

sockaddr_in MakeIpv4Address(const char* dottedAddress, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (dottedAddress == nullptr || ::inet_pton(AF_INET, dottedAddress, &addr.sin_addr) != 1)
    throw TransportException(EINVAL, ZEP_SOURCE, __LINE__);
  return addr;
}

short PollWithInterrupt(int fd, short events, int timeoutMs, int interruptFd) {
  pollfd fds[2] = {{fd, events, 0}, {interruptFd, POLLIN, 0}};
  nfds_t n = interruptFd >= 0 ? 2 : 1;
  for (;;) {
    int r = ::poll(fds, n, timeoutMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw TransportException(errno, ZEP_SOURCE, __LINE__);
    }
    if (n == 2 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0)
      throw InterruptException(ZEP_SOURCE, __LINE__);
    return r == 0 ? 0 : fds[0].revents;
  }
}

}  // namespace net
