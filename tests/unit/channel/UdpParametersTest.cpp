// The type-26 announcement from the configuration, against bytes written out by hand.
#include <gtest/gtest.h>

#include <vector>

#include "sov/channel/UdpParameters.h"
#include "sov/config/Config.h"
#include "sov/protocol/Codec.h"

using B = std::vector<uint8_t>;

TEST(UdpParameters, FromTheConfigurationRecords) {
  Config& config = Config::Instance();
  config.videoKcp = {0, 0, 1200, 1400, 256, 512, 1, 8388608, 4194304};
  config.audioKcp = {0, 0, 100, 500, 32, 64, 0, 65536, 32768};
  auto guid = *platform::Guid::Parse("ffffffff-0000-0000-0000-000000000000");
  proto::Bytes wire;
  proto::AppendMessage(wire, proto::kUdpParameters, proto::MakeUdpParameters(config, guid, 1));
  B expected = {26, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0xB0, 0x04, 0, 0, 0x78, 0x05, 0, 0,  // conv, mode,
                                                                                             // slice, packet
                0, 1, 0, 0, 0, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0x40, 0,            // windows,
                                                                                             // flush,
                                                                                             // buffers
                0, 0, 0, 0, 2, 0, 0, 0, 100, 0, 0, 0, 0xF4, 0x01, 0, 0,  // audio conv wraps to 0
                32, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0x80, 0, 0};
  EXPECT_EQ(wire, expected);

  auto other = *platform::Guid::Parse("01234567-89ab-cdef-0123-456789abcdef");
  EXPECT_EQ(proto::MakeUdpParameters(config, other, 0).video.transportMode, 1u);
  EXPECT_EQ(proto::MakeUdpParameters(config, other, 0).audio.conv, 0x01234568u);
  // Any index other than 0 announces KCP.
  EXPECT_EQ(proto::MakeUdpParameters(config, other, -1).video.transportMode, 2u);
}
