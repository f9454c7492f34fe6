#include "sov/channel/UdpParameters.h"

#include "sov/config/Config.h"
#include "sov/protocol/Codec.h"

namespace proto {
namespace {

// The configuration's values are signed; they travel as their unsigned bit patterns.
UDP_CHANNEL_PARAMS KcpValues(const KcpChannelConfig& config) {
  UDP_CHANNEL_PARAMS p;
  p.sliceSize = static_cast<uint32_t>(config.sliceSize);
  p.packetSize = static_cast<uint32_t>(config.packetSize);
  p.sendWnd = static_cast<uint32_t>(config.sendWnd);
  p.recvWnd = static_cast<uint32_t>(config.recvWnd);
  p.forceFlush = static_cast<uint32_t>(config.forceFlush);
  p.contRecvBufLen = static_cast<uint32_t>(config.contRecvBufLen);
  p.contSendBufLen = static_cast<uint32_t>(config.contSendBufLen);
  return p;
}

}  // namespace

UDP_PARAMETERS MakeUdpParameters(const Config& config, const platform::Guid& clientGuid,
                                 int32_t networkTransportIndex) {
  return MakeUdpParameters(KcpValues(config.videoKcp), KcpValues(config.audioKcp), clientGuid,
                           networkTransportIndex);
}

}  // namespace proto
