// The client's own KCP video receiver against the station, on a lossy link: both KCP ends must
// agree on segments, acks and retransmission, and the client's parser must rebuild every frame.
#include <gtest/gtest.h>

#include "StationHarness.h"
#include "sov/kcp/KCPNetworkReceivers.h"

namespace stationtest {
namespace {

TEST(StationKcpInterop, ClientReceiverGetsEveryFrameThroughLoss) {
  StationProcess station({"--size", "640x360", "--video-frames", "20", "--udp-loss", "0.05"});
  TestGuid guid = RandomGuid();
  RawClient api(station.Port(4));
  api.Send(guid.GreetingBytes());
  proto::UDP_CHANNEL_PARAMS video;
  video.conv = guid.data1;
  video.transportMode = 2;
  video.sliceSize = 32768;
  video.packetSize = 1400;
  video.sendWnd = 2048;
  video.recvWnd = 2048;
  proto::UDP_CHANNEL_PARAMS audio = video;
  audio.conv = guid.data1 + 1;
  audio.transportMode = 1;
  std::vector<uint8_t> m = {26};
  m.insert(m.end(), reinterpret_cast<uint8_t*>(&video), reinterpret_cast<uint8_t*>(&video) + sizeof video);
  m.insert(m.end(), reinterpret_cast<uint8_t*>(&audio), reinterpret_cast<uint8_t*>(&audio) + sizeof audio);
  api.Send(m);
  ASSERT_FALSE(station.WaitForLine("\"name\":\"udp-parameters\"", 5000).empty());

  KCPVideoNetworkReceiver receiver(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(station.Port(2)), video, nullptr);
  const uint8_t keepAlive = 11;
  receiver.Send(&keepAlive, 1);
  receiver.Protocol().Flush();
  std::vector<uint32_t> numbers;
  int64_t lastKeepAlive = MonotonicUs();
  const int64_t end = MonotonicUs() + 30000000;
  while (numbers.size() < 20 && MonotonicUs() < end) {
    receiver.Step();
    if (MonotonicUs() - lastKeepAlive > 1000000) {
      receiver.Send(&keepAlive, 1);
      lastKeepAlive = MonotonicUs();
    }
    while (auto frame = receiver.TakeVideoFrame()) {
      EXPECT_EQ(frame->header.codec, 0);
      EXPECT_EQ(frame->picture.size(), frame->header.pictureSize);
      uint32_t n;
      std::memcpy(&n, frame->header.opaque, 4);  // the station numbers its frames here
      numbers.push_back(n);
    }
  }
  ASSERT_EQ(numbers.size(), 20u) << station.Log();
  for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(numbers[i], i) << "frames arrive complete and in order";
}

}  // namespace
}  // namespace stationtest
