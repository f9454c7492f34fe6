#pragma once
// The service's local listening side: one listening socket, accepted connections go into
// the transport's slots and the latest becomes the current one.
#include <cstdint>

#include "platform/Socket.h"
#include "sov/net/TransportBase.h"

class TransportListener : public TransportBase {
 public:
  // Binds host:service (resolved for IPv4 only) and listens with a backlog of 32. Port "0"
  // picks a free port (tests); LocalPort() tells which.
  explicit TransportListener(const char* host = "localhost", const char* service = "40109",
                             uint32_t count = 1, platform::Event* interrupt = nullptr);
  ~TransportListener() override;

  // Arms every free slot for the next connection.
  void StartAcceptConnections();
  // Waits for a connection and makes its slot current. Waits not at all when a slot already
  // holds a connection, else up to timeoutMs (-1: no limit). Returns whether the current
  // slot holds a connection; InterruptException when the interrupt is set.
  bool WaitForConnection(int timeoutMs = -1);

  uint16_t LocalPort() const;
  const platform::Ipv4Endpoint& PeerAddress() const { return peer_; }

 private:
  platform::UniqueFd listening_;
  platform::Ipv4Endpoint peer_{};
  bool accepting_ = false;
};
