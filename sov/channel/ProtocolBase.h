#pragma once
// The reading and the writing view of one channel connection. The channel thread that builds
// them deletes them, and then the transport, on every reconnect.
class TransportBase;

class ProtocolBase {
 public:
  explicit ProtocolBase(TransportBase* transport) : transport_(transport) {}
  virtual ~ProtocolBase() = default;
  ProtocolBase(const ProtocolBase&) = delete;
  ProtocolBase& operator=(const ProtocolBase&) = delete;

  TransportBase* Transport() const { return transport_; }

 protected:
  TransportBase* transport_;  // not owned; outlives this view
};
