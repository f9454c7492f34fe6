#include "sov/net/TransportConnector.h"

#include <cerrno>

#include "platform/Event.h"
#include "platform/Socket.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace {

uint16_t CheckedPort(uint32_t port) {
  if (port == 0 || port > 65535) throw TransportException(EINVAL, ZEP_SOURCE, __LINE__);
  return static_cast<uint16_t>(port);
}

}  // namespace

int TransportConnector::OpenSocket(platform::Ipv4Endpoint& peer) {
  if (int e = platform::ParseIpv4(address_.c_str(), CheckedPort(port_), peer)) ThrowSocketError(e, __LINE__);
  platform::UniqueFd socket;
  if (int e = platform::OpenTcpSocket(socket)) ThrowSocketError(e, __LINE__);
  if (int e = platform::ConfigureStreamSocket(socket.Get(), NoDelay())) ThrowSocketError(e, __LINE__);
  int fd = socket.Get();
  AdoptSocket(0, std::move(socket));
  return fd;
}

TransportConnector::TransportConnector(const char* address, uint32_t port, std::span<const uint8_t> greeting,
                                       platform::Event* interrupt)
    : TransportBase(1, true, interrupt), address_(address ? address : ""), port_(port), nonBlocking_(false) {
  platform::Ipv4Endpoint peer;
  int fd = OpenSocket(peer);
  if (int e = platform::Connect(fd, peer, Interrupt())) ThrowSocketError(e, __LINE__);
  SendBuffer(greeting.data(), greeting.size());
}

TransportConnector::TransportConnector(const char* address, uint32_t port, NonBlocking,
                                       platform::Event* interrupt)
    : TransportBase(1, true, interrupt), address_(address ? address : ""), port_(port), nonBlocking_(true) {
  platform::Ipv4Endpoint peer;
  int fd = OpenSocket(peer);
  if (int e = platform::SetNonBlocking(fd, true)) ThrowSocketError(e, __LINE__);
  int e = platform::StartConnect(fd, peer);
  if (e == 0) {
    // Loopback may connect at once; the caller's wait for writability then returns at once.
    LOGD_(this) << "connected to " << address_ << ":" << port_ << " at once";
  } else if (e != EINPROGRESS) {
    ThrowSocketError(e, __LINE__);
  }
}

TransportConnector::~TransportConnector() {
  CloseAllSockets();
}

bool TransportConnector::WaitConnected(int timeoutMs) {
  int fd = Socket(0);
  if (fd < 0) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
  int e = platform::FinishConnect(fd, timeoutMs, Interrupt());
  if (e == platform::kSocketTimedOut) return false;
  if (e != 0) ThrowSocketError(e, __LINE__);
  return true;
}
