#include "sov/net/TransportConnector.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/net/Socket.h"
#include "sov/protocol/Codec.h"

namespace {

uint16_t CheckedPort(uint32_t port) {
  if (port == 0 || port > 65535) throw TransportException(EINVAL, ZEP_SOURCE, __LINE__);
  return static_cast<uint16_t>(port);
}

void ThrowIfConnectFailed(int fd) {
  int error = 0;
  socklen_t len = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  if (error != 0) throw TransportException(error, ZEP_SOURCE, __LINE__);
}

}  // namespace

int TransportConnector::OpenSocket(sockaddr_in& peer) {
  peer = net::MakeIpv4Address(address_.c_str(), CheckedPort(port_));
  net::UniqueFd socket = net::NewTcpSocket();
  net::ConfigureStreamSocket(socket.Get(), NoDelay());
  int fd = socket.Release();
  AdoptSocket(0, fd);
  return fd;
}

TransportConnector::TransportConnector(const char* address, uint32_t port, const platform::Guid& clientGuid,
                                       int interruptFd)
    : TransportBase(1, true), address_(address ? address : ""), port_(port), nonBlocking_(false) {
  sockaddr_in peer{};
  int fd = OpenSocket(peer);
  // Connecting through poll keeps the wait interruptible and immune to EINTR; the socket is
  // blocking again before anything is sent.
  net::SetNonBlocking(fd, true);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) throw TransportException(errno, ZEP_SOURCE, __LINE__);
    net::PollWithInterrupt(fd, POLLOUT, -1, interruptFd);
    ThrowIfConnectFailed(fd);
  }
  net::SetNonBlocking(fd, false);
  proto::GREETING greeting = proto::MakeGreeting(clientGuid);
  SendBuffer(&greeting, sizeof(greeting));
}

TransportConnector::TransportConnector(const char* address, uint32_t port, NonBlocking)
    : TransportBase(1, true), address_(address ? address : ""), port_(port), nonBlocking_(true) {
  sockaddr_in peer{};
  int fd = OpenSocket(peer);
  net::SetNonBlocking(fd, true);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0) {
    // Loopback may connect at once; the caller's wait for writability then returns at once.
    LOGD_(this) << "connected to " << address_ << ":" << port_ << " at once";
  } else if (errno != EINPROGRESS) {
    throw TransportException(errno, ZEP_SOURCE, __LINE__);
  }
}

TransportConnector::~TransportConnector() {
  CloseAllSockets();
}

bool TransportConnector::WaitConnected(int timeoutMs) {
  int fd = Socket(0);
  if (fd < 0) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
  if (net::PollWithInterrupt(fd, POLLOUT, timeoutMs, -1) == 0) return false;
  ThrowIfConnectFailed(fd);
  return true;
}
