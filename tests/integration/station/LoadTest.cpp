// What a crowd of idle or hostile clients can and cannot take from the station: connection places,
// memory, and live KCP conversations.
#include <gtest/gtest.h>

#include <memory>

#include "MediaClient.h"

namespace stationtest {
namespace {

// Silent connections on the probe port are closed after the greeting time-out, and the cap on
// connections is counted per port, so neither that port nor the others stay locked.
TEST(StationLoad, SilentProbeConnectionsLockNobodyOut) {
  StationProcess station({"--greeting-timeout-ms", "1000", "--max-connections", "100"});
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (int i = 0; i < 300; ++i) crowd.push_back(std::make_unique<RawClient>(station.Port(0)));
  ASSERT_GE(station.WaitForCount("\"event\":\"connection_refused\"", 1, 5000), 1u);
  TestGuid guid = RandomGuid();
  RawClient video(station.Port(2));
  video.Send(guid.GreetingBytes());
  EXPECT_EQ(video.Recv(1), std::vector<uint8_t>{2}) << "another port is served at once";

  // A probe client that has spoken keeps its place past the greeting time-out.
  const int64_t start = MonotonicUs();
  bool served = false;
  std::unique_ptr<RawClient> probe;
  while (!served && MonotonicUs() - start < 3000000) {
    probe = std::make_unique<RawClient>(station.Port(0));
    probe->Send({'h'});
    served = probe->Recv(1, 300) == std::vector<uint8_t>{'h'};
  }
  ASSERT_TRUE(served);
  EXPECT_LT(MonotonicUs() - start, 1800000) << "the newcomer waited past the greeting time-out";
  for (auto& c : crowd) EXPECT_TRUE(c->ClosedByPeer(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  probe->Send({'h'});
  EXPECT_EQ(probe->Recv(1), std::vector<uint8_t>{'h'});
}

// Streams of equal settings share one encoder: a hundred clients that never read stay cheap, the
// memory comes back when they leave, a stream that joins late starts with a key frame, and a
// stream past the encoder limit is closed.
TEST(StationLoad, UnreadVideoStreamsShareOneEncoderAndGiveTheirMemoryBack) {
  StationProcess station({"--max-encoders", "1", "--key-interval", "1000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int64_t idleKib = station.RssKib();
  {
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (int i = 0; i < 100; ++i) {
      crowd.push_back(std::make_unique<RawClient>(station.Port(2)));
      crowd.back()->Send(RandomGuid().GreetingBytes());
    }
    ASSERT_EQ(station.WaitForCount("\"event\":\"video_stream\"", 100, 20000), 100u) << station.Log();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int64_t busyKib = station.RssKib();
    std::printf("station RSS: idle %lld KiB, 100 unread video streams %lld KiB\n",
                static_cast<long long>(idleKib), static_cast<long long>(busyKib));
    EXPECT_LT(busyKib, 400 * 1024);

    // A late joiner's first frame decodes on its own: a key frame, made for it.
    RawClient late(station.Port(2));
    late.Send(RandomGuid().GreetingBytes());
    VideoMessage m;
    ASSERT_TRUE(ReadVideo(late, m));
    Decoder fresh(DecoderNames(0));
    EXPECT_EQ(fresh.Decode(m.picture, [](AVFrame*) {}), 1);

    // Another size would need a second encoder.
    TestGuid other = RandomGuid();
    RawClient api(station.Port(4));
    api.Send(other.GreetingBytes());
    auto res = Message(8, 8);
    Put32(res, 1, 320);
    Put16(res, 5, 240);
    api.Send(res);
    ASSERT_FALSE(station.WaitForLine("\"name\":\"resolution\"", 5000).empty());
    RawClient refused(station.Port(2));
    refused.Send(other.GreetingBytes());
    EXPECT_TRUE(refused.ClosedByPeer());
    EXPECT_FALSE(station.WaitForLine("\"event\":\"encoder_limit\"", 2000).empty());
  }
  ASSERT_GE(station.WaitForCount("\"event\":\"disconnected\"", 102, 10000), 102u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int64_t afterKib = station.RssKib();
  std::printf("station RSS after they left: %lld KiB\n", static_cast<long long>(afterKib));
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed memory in its quarantine, so the fall is only seen in normal builds.
  (void)afterKib;
#else
  EXPECT_LT(afterKib, idleKib + 20 * 1024);
#endif
}

// One datagram from another source, well-formed or not, cannot take a live conversation; a client
// that rebuilt its transport (a new socket, the old one silent for a second) can.
TEST(StationLoad, SpoofedDatagramsDoNotTakeALiveKcpConversation) {
  StationProcess station({});
  TestGuid guid = RandomGuid();
  const uint32_t conv = guid.data1 + 1;
  RawClient api(station.Port(4));
  api.Send(guid.GreetingBytes());
  api.Send(UdpParamsMessage(guid.data1, 1, 2));
  ASSERT_FALSE(station.WaitForLine("\"name\":\"udp-parameters\"", 5000).empty());
  int fd = UdpConnect(station.Port(3));
  kcp::KcpProtocol k(conv, [fd](std::span<const kcp::Datagram> batch) {
    for (const auto& d : batch) send(fd, d.data(), d.size(), 0);
  });
  k.SetNoDelay(2, 2, 1, 1);
  const uint8_t keepAlive = 11;
  k.Send(&keepAlive, 1);
  ASSERT_GE(ReceiveKcpAudio(fd, k, 3), 3) << station.Log();

  int spoof = UdpConnect(station.Port(3));
  std::vector<uint8_t> junk(100, 0xAB), tell(24, 0);
  Put32(junk, 0, conv);
  Put32(tell, 0, conv);
  tell[4] = 84;  // window tell, no data
  Put16(tell, 6, 128);
  send(spoof, junk.data(), junk.size(), 0);
  send(spoof, tell.data(), tell.size(), 0);
  EXPECT_GE(ReceiveKcpAudio(fd, k, 10), 10) << station.Log();
  EXPECT_TRUE(station.Lines("kcp_session_closed").empty()) << station.Log();

  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  send(spoof, tell.data(), tell.size(), 0);
  EXPECT_EQ(station.WaitForCount("\"event\":\"kcp_session\"", 2, 3000), 2u) << station.Log();
  close(spoof);
  close(fd);
}

}  // namespace
}  // namespace stationtest
