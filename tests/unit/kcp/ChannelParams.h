#pragma once
// The parameters record of a KCP channel as the transport tests announce it.
#include <cstdint>

#include "sov/protocol/Messages.h"

namespace kcptest {

inline proto::UDP_CHANNEL_PARAMS Params(uint32_t conv) {
  proto::UDP_CHANNEL_PARAMS p;
  p.conv = conv;
  p.transportMode = 2;
  p.sliceSize = 32768;
  p.packetSize = 1400;
  p.sendWnd = 1024;
  p.recvWnd = 1024;
  p.forceFlush = 1;
  return p;
}

}  // namespace kcptest
