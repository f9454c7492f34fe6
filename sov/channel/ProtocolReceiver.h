#pragma once
#include "sov/channel/ProtocolBase.h"
#include "sov/protocol/StreamParser.h"

class ProtocolReceiver : public ProtocolBase {
 public:
  using ProtocolBase::ProtocolBase;

  // The next whole message: its type, fixed part and announced blocks. A type the channel does
  // not accept raises ProtocolException with the channel's text before anything more is read;
  // a short read closes the socket and raises ReceiveException.
  proto::RawMessage ReceiveMessage(const proto::ChannelSpec& channel);
};
