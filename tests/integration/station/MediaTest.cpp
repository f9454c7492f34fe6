// Video, audio and cursor messages from the station, read by hand and decoded with libavcodec.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <set>

#include "MediaClient.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace stationtest {
namespace {

class StationVideo : public ::testing::TestWithParam<int> {};

TEST_P(StationVideo, FramesOfTheRequestedCodecAndSizeDecode) {
  const int codec = GetParam();
  StationProcess station({"--size", "320x240", "--video-frames", "12", "--enc-threads", "1"});
  TestGuid guid = RandomGuid();
  RawClient api(station.Port(4));
  api.Send(guid.GreetingBytes());
  // H.264 asks for the station's own size (0x0), the others for an explicit one.
  const int wantW = codec == 0 ? 320 : 256, wantH = codec == 0 ? 240 : 144;
  auto res = Message(8, 8);
  Put32(res, 1, codec == 0 ? 0 : 256);
  Put16(res, 5, codec == 0 ? 0 : 144);
  api.Send(res);
  auto fps = Message(5, 8);
  Put32(fps, 1, 25);
  fps[5] = 1;
  api.Send(fps);
  auto sel = Message(22, 4);
  Put32(sel, 1, static_cast<uint32_t>(codec));
  api.Send(sel);
  ASSERT_FALSE(station.WaitForLine("\"name\":\"codec\"", 5000).empty());

  const int64_t start = MonotonicUs();
  RawClient video(station.Port(2));
  video.Send(guid.GreetingBytes());
  Decoder dec(DecoderNames(codec));
  ASSERT_NE(dec.ctx, nullptr) << "no decoder for codec " << codec;
  int decoded = 0;
  int64_t lastStamp = 0;
  for (int i = 0; i < 12; ++i) {
    VideoMessage m;
    ASSERT_TRUE(ReadVideo(video, m)) << "frame " << i << "\n" << station.Log();
    EXPECT_EQ(Get16(&m.header[18]), codec);
    EXPECT_FALSE(m.a.empty());
    EXPECT_FALSE(m.b.empty());
    // The station's own clock: the host's monotonic clock shifted by the announced offset.
    const int64_t stamp = static_cast<int64_t>(Get64(&m.header[20])) - station.ClockOffsetUs();
    EXPECT_GT(stamp, lastStamp);
    EXPECT_GE(stamp, start - 1000);
    EXPECT_LE(stamp, MonotonicUs() + 1000);
    lastStamp = stamp;
    int n = dec.Decode(m.picture, [&](AVFrame* f) {
      EXPECT_EQ(f->width, wantW);
      EXPECT_EQ(f->height, wantH);
    });
    ASSERT_GE(n, 0) << dec.name << " refused frame " << i;
    decoded += n;
  }
  // Low-delay decoders give a picture per frame; allow a little decoder delay.
  EXPECT_GE(decoded, 9) << dec.name;
  EXPECT_EQ(station.WaitForCount("\"event\":\"frame_sent\"", 12, 5000), 12u);
}

std::string CodecTestName(const ::testing::TestParamInfo<int>& info) {
  static const char* names[] = {"H264", "Hevc", "Av1", "Vp8", "Vp9"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(AllCodecs, StationVideo, ::testing::Values(0, 1, 2, 3, 4), CodecTestName);

TEST(StationVideoStream, ANarrowRequestIsWidenedNotFatal) {
  // One pixel wide and 240 high in HEVC: the station keeps serving, at its smallest width.
  StationProcess station({"--codec", "1", "--video-frames", "4"});
  TestGuid guid = RandomGuid();
  RawClient api(station.Port(4));
  api.Send(guid.GreetingBytes());
  auto res = Message(8, 8);
  Put32(res, 1, 1);
  Put16(res, 5, 240);
  api.Send(res);
  ASSERT_FALSE(station.WaitForLine("\"name\":\"resolution\"", 5000).empty());
  RawClient video(station.Port(2));
  video.Send(guid.GreetingBytes());
  Decoder dec(DecoderNames(1));
  int decoded = 0;
  for (int i = 0; i < 4; ++i) {
    VideoMessage m;
    ASSERT_TRUE(ReadVideo(video, m)) << "frame " << i << "\n" << station.Log();
    decoded += std::max(0, dec.Decode(m.picture, [](AVFrame* f) {
      EXPECT_EQ(f->width, 128);
      EXPECT_EQ(f->height, 240);
    }));
  }
  EXPECT_GE(decoded, 3);
}

TEST(StationVideoStream, BackFromKcpTheTcpStreamResumesWithAKeyFrame) {
  StationProcess station({"--size", "320x240", "--key-interval", "1000"});
  TestGuid guid = RandomGuid();
  RawClient api(station.Port(4));
  api.Send(guid.GreetingBytes());
  auto udp = [&](uint32_t videoMode) {
    auto m = Message(26, 72);
    Put32(m, 1, guid.data1);
    Put32(m, 5, videoMode);
    Put32(m, 37, guid.data1 + 1);
    Put32(m, 41, 1);
    return m;
  };
  RawClient video(station.Port(2));
  video.Send(guid.GreetingBytes());
  VideoMessage m;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ReadVideo(video, m));
  api.Send(udp(2));  // frames move to KCP: only keep-alives here
  ASSERT_FALSE(station.WaitForLine("\"name\":\"udp-parameters\"", 5000).empty());
  auto type = video.Recv(1, 5000);
  while (type == std::vector<uint8_t>{2}) {  // frames already on their way
    auto h = video.Recv(28);
    ASSERT_EQ(h.size(), 28u);
    video.Recv(Get32(&h[0]) + Get32(&h[4]) + Get32(&h[8]));
    type = video.Recv(1, 5000);
  }
  ASSERT_EQ(type, std::vector<uint8_t>{11});
  api.Send(udp(1));
  ASSERT_TRUE(ReadVideo(video, m));
  // A decoder that has seen nothing of this stream must make a picture of the first frame.
  Decoder fresh(DecoderNames(0));
  int pictures = fresh.Decode(m.picture, [](AVFrame* f) { EXPECT_EQ(f->width, 320); });
  EXPECT_EQ(pictures, 1);
}

TEST(StationVideoClip, StreamsAPreEncodedClipLoopedWithFreshStamps) {
  char dir[] = "/tmp/zep-clip-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string clip = std::string(dir) + "/vp9.clip";
  {
    std::string cmd = std::string(ZEP_BINARY_DIR "/bin/zep-station --make-clip ") + clip +
                      " --codec 4 --size 192x108 --clip-frames 5 > /dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  StationProcess station({"--clip", clip, "--no-blocks"});
  TestGuid guid = RandomGuid();
  RawClient video(station.Port(2));
  video.Send(guid.GreetingBytes());
  Decoder dec(DecoderNames(4));
  int decoded = 0;
  for (int i = 0; i < 8; ++i) {  // past the end of the five-picture clip
    VideoMessage m;
    ASSERT_TRUE(ReadVideo(video, m));
    EXPECT_EQ(Get16(&m.header[18]), 4);
    EXPECT_TRUE(m.a.empty());
    decoded += std::max(0, dec.Decode(m.picture, [](AVFrame* f) { EXPECT_EQ(f->width, 192); }));
  }
  EXPECT_GE(decoded, 7);
  unlink(clip.c_str());
  rmdir(dir);
}

TEST(StationAudio, AacFramesHaveTheFormatBlockAndDecodeToTheTone) {
  StationProcess station({});
  RawClient audio(station.Port(3));
  audio.Send(RandomGuid().GreetingBytes());
  // AudioSpecificConfig of AAC-LC, 48 kHz, stereo, written by hand.
  Decoder dec(std::vector<const char*>{"aac", nullptr}.data(), {0x11, 0x90});
  ASSERT_NE(dec.ctx, nullptr);
  double peak = 0;
  int decodedSamples = 0;
  for (int i = 0; i < 10; ++i) {
    auto type = audio.Recv(1);
    ASSERT_EQ(type.size(), 1u);
    if (type[0] == 11) continue;
    ASSERT_EQ(type[0], 3);
    auto h = audio.Recv(52);
    ASSERT_EQ(h.size(), 52u);
    EXPECT_EQ(Get32(&h[0]), 1024u);  // one AAC frame
    EXPECT_EQ(Get32(&h[4]), 0u);
    const uint8_t* f = &h[12];
    EXPECT_EQ(Get16(f + 0), 0xFFFE);
    EXPECT_EQ(Get16(f + 2), 2);
    EXPECT_EQ(Get32(f + 4), 48000u);
    EXPECT_EQ(Get32(f + 8), 192000u);
    EXPECT_EQ(Get16(f + 12), 4);
    EXPECT_EQ(Get16(f + 14), 16);
    EXPECT_EQ(Get16(f + 16), 22);
    EXPECT_EQ(Get32(f + 20), 3u);
    EXPECT_EQ(f[24], 1);  // PCM sub-format
    auto payload = audio.Recv(Get32(&h[8]));
    ASSERT_EQ(payload.size(), Get32(&h[8]));
    ASSERT_GE(dec.Decode(payload,
                         [&](AVFrame* fr) {
                           EXPECT_EQ(fr->sample_rate, 48000);
                           EXPECT_EQ(fr->ch_layout.nb_channels, 2);
                           decodedSamples += fr->nb_samples;
                           const float* s = reinterpret_cast<const float*>(fr->data[0]);
                           for (int k = 0; k < fr->nb_samples; ++k)
                             peak = std::max(peak, std::fabs(static_cast<double>(s[k])));
                         }),
              0);
  }
  EXPECT_GE(decodedSamples, 5 * 1024);
  EXPECT_NEAR(peak, 0.25, 0.08);  // the tone's amplitude
}

TEST(StationCursor, RecordsOfAllThreeTypesAndVisibilityChangesAreWellFormed) {
  StationProcess station({"--cursor-interval-ms", "20"});
  RawClient mouse(station.Port(1));
  mouse.Send(RandomGuid().GreetingBytes());
  std::set<uint32_t> types;
  bool sawHidden = false, sawShowWithoutShape = false;
  for (int i = 0; i < 10; ++i) {
    auto t = mouse.Recv(1);
    ASSERT_EQ(t.size(), 1u);
    ASSERT_EQ(t[0], 1);
    auto h = mouse.Recv(52);
    ASSERT_EQ(h.size(), 52u);
    const uint32_t type = Get32(&h[0]), w = Get32(&h[4]), ht = Get32(&h[8]), pitch = Get32(&h[12]);
    const uint32_t size = Get32(&h[36]);
    const bool visible = h[32] != 0;
    auto shape = mouse.Recv(size);
    ASSERT_EQ(shape.size(), size);
    if (size == 0) {
      (visible ? sawShowWithoutShape : sawHidden) = true;
      continue;
    }
    types.insert(type);
    EXPECT_EQ(size, pitch * ht);
    EXPECT_LE(static_cast<int32_t>(Get32(&h[16])), static_cast<int32_t>(w));
    EXPECT_LE(static_cast<int32_t>(Get32(&h[20])), static_cast<int32_t>(ht));
    if (type == 1) {
      EXPECT_EQ(ht, 2 * w);  // AND and XOR masks
      EXPECT_GE(pitch * 8, w);
    } else {
      EXPECT_TRUE(type == 2 || type == 4) << type;
      EXPECT_EQ(pitch, w * 4);
    }
    if (type == 4) {
      bool xorPixel = false;
      for (std::size_t p = 3; p < shape.size(); p += 4) xorPixel |= shape[p] == 0xFF;
      EXPECT_TRUE(xorPixel) << "a masked-colour shape marks XOR pixels with alpha 0xFF";
    }
  }
  EXPECT_EQ(types, (std::set<uint32_t>{1, 2, 4}));
  EXPECT_TRUE(sawHidden);
  EXPECT_TRUE(sawShowWithoutShape);
}

TEST(StationKcp, OutsizedClientParametersAreBoundedAndTheAudioStillFlows) {
  StationProcess station({});
  TestGuid guid = RandomGuid();
  RawClient api(station.Port(4));
  api.Send(guid.GreetingBytes());
  auto udp = UdpParamsMessage(guid.data1, 1, 2);
  for (std::size_t at = 37 + 8; at < 37 + 24; ++at) udp[at] = 0xFF;  // slice, packet size, windows
  api.Send(udp);
  ASSERT_FALSE(station.WaitForLine("\"name\":\"udp-parameters\"", 5000).empty());
  int fd = UdpConnect(station.Port(3));
  kcp::KcpProtocol k(guid.data1 + 1, [fd](std::span<const kcp::Datagram> batch) {
    for (const auto& d : batch) send(fd, d.data(), d.size(), 0);
  });
  k.SetNoDelay(2, 2, 1, 1);
  const uint8_t keepAlive = 11;
  k.Send(&keepAlive, 1);
  EXPECT_GE(ReceiveKcpAudio(fd, k, 3), 3) << station.Log();
  close(fd);
}

TEST(StationFaults, GarbageAfterTheGivenCountOnTheAudioChannel) {
  StationProcess station({"--send-garbage", "audio:1"});
  RawClient audio(station.Port(3));
  audio.Send(RandomGuid().GreetingBytes());
  auto h = audio.Recv(53);
  ASSERT_EQ(h.size(), 53u);
  ASSERT_EQ(h[0], 3);
  ASSERT_EQ(audio.Recv(Get32(&h[9])).size(), Get32(&h[9]));
  auto junk = audio.Recv(64);
  ASSERT_EQ(junk.size(), 64u);
  EXPECT_EQ(junk[0], 0xEE);
  EXPECT_EQ(audio.Recv(1), std::vector<uint8_t>{3});  // and the stream goes on
}

}  // namespace
}  // namespace stationtest
