#pragma once
// The type-26 announcement built from the configuration's "UDPVideo*" and "UDPAudio*" records.
#include <cstdint>

#include "platform/Guid.h"
#include "sov/protocol/Messages.h"

class Config;

namespace proto {

UDP_PARAMETERS MakeUdpParameters(const Config& config, const platform::Guid& clientGuid,
                                 int32_t networkTransportIndex);

}  // namespace proto
