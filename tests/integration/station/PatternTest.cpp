// The picture the station draws: the frame counter changes it, and the pointer marker lands where
// the client's last absolute pointer event put it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "StationHarness.h"
#include "tools/station-sim/TestPattern.h"
#include "tools/station-sim/VideoEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace stationtest {
namespace {

// Bounding box of the luma pixels that differ between two pictures of the same size.
struct Box {
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
  bool Empty() const { return x1 < 0; }
};

Box Difference(const AVFrame* a, const AVFrame* b, int threshold) {
  Box box;
  for (int y = 0; y < a->height; ++y)
    for (int x = 0; x < a->width; ++x)
      if (std::abs(a->data[0][y * a->linesize[0] + x] - b->data[0][y * b->linesize[0] + x]) > threshold) {
        box.x0 = std::min(box.x0, x);
        box.y0 = std::min(box.y0, y);
        box.x1 = std::max(box.x1, x);
        box.y1 = std::max(box.y1, y);
      }
  return box;
}

TEST(StationPattern, CounterAndMarkerChangeOnlyTheirOwnPlaces) {
  station::VideoSettings s;
  s.width = 320;
  s.height = 240;
  station::VideoEncoder enc(s);
  media::FramePtr plain = enc.MakeFrame(), marked = enc.MakeFrame(), next = enc.MakeFrame();
  station::TestPattern::Draw(plain.get(), 7, -1, -1);
  station::TestPattern::Draw(marked.get(), 7, 0.75, 0.5);
  Box marker = Difference(plain.get(), marked.get(), 0);
  ASSERT_FALSE(marker.Empty());
  const int cx = 239, cy = 119;  // 0.75 * 319, 0.5 * 239
  EXPECT_LE(marker.x0, cx);
  EXPECT_GE(marker.x1, cx);
  EXPECT_LE(marker.y0, cy);
  EXPECT_GE(marker.y1, cy);
  EXPECT_LT(marker.x1 - marker.x0, 40) << "the marker is small";
  EXPECT_LT(marker.y1 - marker.y0, 40);

  // Frame 8 instead of 7: the bars move and the counter's last digit changes.
  station::TestPattern::Draw(next.get(), 8, -1, -1);
  EXPECT_FALSE(Difference(plain.get(), next.get(), 0).Empty());
}

TEST(StationPattern, ThePointerMarkerFollowsTheControlChannelIntoTheVideo) {
  StationProcess station({"--size", "320x240", "--video-frames", "1"});
  TestGuid pointing = RandomGuid(), other = RandomGuid();
  RawClient control(station.Port(5));
  control.Send(pointing.GreetingBytes());
  std::vector<uint8_t> mouse(36, 0);
  mouse[0] = 9;
  double x = 0.25, y = 0.25;
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  Put64(mouse, 15, bits);
  std::memcpy(&bits, &y, 8);
  Put64(mouse, 23, bits);
  mouse[31] = 1;
  control.Send(mouse);
  ASSERT_FALSE(station.WaitForLine("\"name\":\"mouse\"", 5000).empty());

  // Both streams start at frame 0, so their first pictures differ only by the marker.
  std::vector<AVFrame*> pictures;
  for (const TestGuid* g : {&pointing, &other}) {
    RawClient video(station.Port(2));
    video.Send(g->GreetingBytes());
    std::vector<uint8_t> type;
    do {
      type = video.Recv(1);
      ASSERT_EQ(type.size(), 1u);
    } while (type[0] == 11);
    auto h = video.Recv(28);
    ASSERT_EQ(h.size(), 28u);
    video.Recv(Get32(&h[0]));
    video.Recv(Get32(&h[4]));
    auto pic = video.Recv(Get32(&h[8]));
    ASSERT_FALSE(pic.empty());
    const AVCodec* codec = avcodec_find_decoder_by_name("h264");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    av_new_packet(pkt, static_cast<int>(pic.size()));
    std::memcpy(pkt->data, pic.data(), pic.size());
    ASSERT_EQ(avcodec_send_packet(ctx, pkt), 0);
    avcodec_send_packet(ctx, nullptr);
    AVFrame* f = av_frame_alloc();
    ASSERT_EQ(avcodec_receive_frame(ctx, f), 0);
    pictures.push_back(f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
  }
  Box marker = Difference(pictures[0], pictures[1], 40);  // beyond coding noise
  for (AVFrame* f : pictures) av_frame_free(&f);
  ASSERT_FALSE(marker.Empty());
  const int cx = 79, cy = 59;  // 0.25 * 319, 0.25 * 239
  EXPECT_LE(std::abs((marker.x0 + marker.x1) / 2 - cx), 4);
  EXPECT_LE(std::abs((marker.y0 + marker.y1) / 2 - cy), 4);
}

}  // namespace
}  // namespace stationtest
