#include "sov/channel/ProtocolReceiver.h"

#include "sov/net/TransportBase.h"

proto::RawMessage ProtocolReceiver::ReceiveMessage(const proto::ChannelSpec& channel) {
  return proto::ReadMessage(*transport_, channel);
}
