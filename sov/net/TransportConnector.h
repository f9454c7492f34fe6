#pragma once
// The connecting side of a TCP channel. The client application connects blocking and
// greets the station; the service only starts a non-blocking connect and waits for it itself.
#include <cstdint>
#include <span>
#include <string>

#include "sov/net/TransportBase.h"

namespace platform {
struct Ipv4Endpoint;
}

class TransportConnector : public TransportBase {
 public:
  // Client application: connect, then send the greeting (the channel's first bytes). The
  // connect and every later wait end with InterruptException once the interrupt is set.
  TransportConnector(const char* address, uint32_t port, std::span<const uint8_t> greeting,
                     platform::Event* interrupt);

  struct NonBlocking {};
  // Service: the connect is in progress when this returns (or, on loopback, already done).
  TransportConnector(const char* address, uint32_t port, NonBlocking, platform::Event* interrupt = nullptr);

  ~TransportConnector() override;

  // Service: waits up to timeoutMs (-1: no limit) for the connect to finish. False on
  // time-out; TransportException when the connection failed, InterruptException when interrupted.
  bool WaitConnected(int timeoutMs);

  const std::string& Address() const { return address_; }
  uint32_t Port() const { return port_; }
  bool IsNonBlocking() const { return nonBlocking_; }

 private:
  // A configured socket in slot 0; returns its descriptor.
  int OpenSocket(platform::Ipv4Endpoint& peer);

  std::string address_;
  uint32_t port_;
  bool nonBlocking_;
};
