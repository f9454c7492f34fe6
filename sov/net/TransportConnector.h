#pragma once
// The connecting side of a TCP channel. The client application connects blocking and
// greets the station with its GUID; the service only starts a non-blocking connect and
// waits for it itself.
#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "platform/Guid.h"
#include "sov/net/TransportBase.h"

class TransportConnector : public TransportBase {
 public:
  // Client application: connect, then send the 276-byte greeting. When interruptFd is >= 0,
  // the connect also ends with InterruptException as soon as that descriptor is readable
  // (an interrupt event), instead of waiting out the system's connect time-out.
  TransportConnector(const char* address, uint32_t port, const platform::Guid& clientGuid,
                     int interruptFd = -1);

  struct NonBlocking {};
  // Service: the connect is in progress when this returns (or, on loopback, already done).
  TransportConnector(const char* address, uint32_t port, NonBlocking);

  ~TransportConnector() override;

  // Service: waits up to timeoutMs (-1: no limit) for the connect to finish. False on
  // time-out; TransportException when the connection failed.
  bool WaitConnected(int timeoutMs);

  const std::string& Address() const { return address_; }
  uint32_t Port() const { return port_; }
  bool IsNonBlocking() const { return nonBlocking_; }

 private:
  int OpenSocket(sockaddr_in& peer);

  std::string address_;
  uint32_t port_;
  bool nonBlocking_;
};
