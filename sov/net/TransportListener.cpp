#include "sov/net/TransportListener.h"

#include <cerrno>
#include <vector>

#include "platform/Event.h"
#include "sov/base/BaseException.h"

TransportListener::TransportListener(const char* host, const char* service, uint32_t count,
                                     platform::Event* interrupt)
    : TransportBase(count, true, interrupt) {
  if (int e = platform::ListenTcp(host, service, 32, listening_)) ThrowSocketError(e, __LINE__);
}

TransportListener::~TransportListener() = default;

void TransportListener::StartAcceptConnections() {
  // Connections queue in the listening socket's backlog; WaitForConnection takes them
  // into free slots.
  accepting_ = true;
}

bool TransportListener::WaitForConnection(int timeoutMs) {
  if (!accepting_) StartAcceptConnections();
  bool anyOpen = false;
  for (uint32_t i = 0; i < Count(); ++i) anyOpen = anyOpen || IsOpen(i);
  int wait = anyOpen ? 0 : timeoutMs;
  std::vector<platform::Waitable*> objects;
  if (Interrupt() != nullptr) objects.push_back(Interrupt());
  const int fds[] = {listening_.Get()};
  for (;;) {
    int r = platform::WaitAnyFd(fds, objects, wait);
    if (r == platform::kWaitTimeout) break;
    if (r != 0) throw InterruptException(ZEP_SOURCE, __LINE__);
    uint32_t slot = 0;
    while (slot < Count() && IsOpen(slot)) ++slot;
    if (slot == Count()) break;
    platform::UniqueFd accepted;
    platform::Ipv4Endpoint peer;
    int e = platform::Accept(listening_.Get(), accepted, peer);
    if (e == EAGAIN || e == EWOULDBLOCK || e == ECONNABORTED || e == EINTR) continue;
    if (e != 0) ThrowSocketError(e, __LINE__);
    if (int opt = platform::SetNoDelay(accepted.Get())) ThrowSocketError(opt, __LINE__);
    platform::MarkControlTraffic(accepted.Get());
    AdoptSocket(slot, std::move(accepted));
    SetCurrent(slot);
    peer_ = peer;
    return true;
  }
  return IsOpen(Current());
}

uint16_t TransportListener::LocalPort() const {
  uint16_t port = 0;
  if (int e = platform::LocalPort(listening_.Get(), port)) ThrowSocketError(e, __LINE__);
  return port;
}
