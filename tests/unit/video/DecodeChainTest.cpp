// The decoder loop's rules with a scripted decoder: codec rebinds, refused frames offered again
// after draining, corrupt frames dropped, and the end on an unknown codec.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/protocol/Messages.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/stats/StatsTable.h"
#include "zep/video/DecodeChain.h"

namespace {

// What the fake decoders did, in order: "open 1", "send 1:7", "refuse 1:7", "out 1", "fail 2".
using Journal = std::vector<std::string>;

class FakeDecoder : public video::IVideoDecoder {
 public:
  FakeDecoder(int codec, Journal& journal, int refuseEvery)
      : codec_(codec), j_(journal), refuse_(refuseEvery) {}
  int Codec() const override { return codec_; }
  const std::string& Name() const override { return name_; }
  bool Send(const uint8_t* data, std::size_t size) override {
    const std::string id = std::to_string(codec_) + ":" + std::to_string(size ? data[0] : -1);
    if (size && data[0] == 0xEE) throw video::DecodeError("bad bitstream", true);
    // Refuses every n-th offer, like a decoder whose input queue is full.
    if (refuse_ && ++offers_ % refuse_ == 0) {
      j_.push_back("refuse " + id);
      return false;
    }
    j_.push_back("send " + id);
    held_.push_back(size ? data[0] : 0);
    return true;
  }
  bool Receive(AVFrame* out) override {
    if (held_.empty()) return false;
    j_.push_back("out " + std::to_string(held_.front()));
    held_.pop_front();
    out->width = 64;
    out->height = 36;
    out->format = AV_PIX_FMT_YUV420P;
    return av_frame_get_buffer(out, 0) == 0;
  }

 private:
  int codec_;
  Journal& j_;
  int refuse_;
  int offers_ = 0;
  std::deque<int> held_;
  std::string name_ = "fake";
};

std::unique_ptr<RECTS_INFO> Frame(int codec, uint8_t tag, int64_t stamp) {
  auto f = std::make_unique<RECTS_INFO>();
  f->header.codec = static_cast<uint16_t>(codec);
  f->header.frameStamp = stamp;
  f->picture = {tag, 1, 2, 3};
  return f;
}

struct Loop {
  platform::Event interrupt{true};
  video::FrameQueue queue{interrupt, 64};
  video::TripleBuffer buffer;
  video::ClientArea area;
  StatsTable table;
  Journal journal;
  int refuseEvery = 0;
  std::vector<int> unavailable;  // codecs whose decoder does not open

  // Runs until the codec-5 frame that closes every script; returns the journal.
  void Run(std::vector<std::unique_ptr<RECTS_INFO>> frames) {
    for (auto& f : frames) queue.push(std::move(f));
    queue.push(Frame(5, 0, 0));
    video::VideoDecodeChain chain(
        [this](int codec) -> std::unique_ptr<video::IVideoDecoder> {
          for (int u : unavailable)
            if (u == codec) {
              journal.push_back("fail " + std::to_string(codec));
              throw video::DecodeError("no decoder", false);
            }
          journal.push_back("open " + std::to_string(codec));
          return std::make_unique<FakeDecoder>(codec, journal, refuseEvery);
        },
        buffer, area);
    chain.RebindDecoder(0);
    try {
      video::RunDecoderLoop(queue, chain, &table);
      ADD_FAILURE() << "the loop must end on the codec index 5";
    } catch (const ErrCodeException& e) {
      EXPECT_EQ(e.Code(), ErrCode::InvalidArg);
    }
  }
};

TEST(DecodeChain, RebindsOnCodecChangeAndKeepsTheOldDecoderWhenTheNewFails) {
  Loop l;
  l.area.Set(640, 360);
  l.unavailable = {2};
  std::vector<std::unique_ptr<RECTS_INFO>> frames;
  frames.push_back(Frame(0, 10, 100));
  frames.push_back(Frame(1, 11, 101));  // first HEVC frame: rebind before decoding
  frames.push_back(Frame(2, 12, 102));  // AV1 does not open: the HEVC decoder stays
  frames.push_back(Frame(0, 13, 103));  // back to H.264: rebind again
  l.Run(std::move(frames));
  const Journal expected = {"open 0", "send 0:10", "out 10", "open 1", "send 1:11", "out 11",
                            "fail 2", "send 1:12", "out 12", "open 0", "send 0:13", "out 13"};
  EXPECT_EQ(l.journal, expected);
  EXPECT_EQ(l.table.Value(kStatDecoder).i, 0);
  // Every picture was published; the reader gets the last one with its frame's stamp.
  video::Picture* p = l.buffer.AcquireFront();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->stamp, 103u);
  EXPECT_EQ(p->width, 640);
  EXPECT_EQ(p->height, 360);
  EXPECT_EQ(l.buffer.Counter(), 4 - 2 - 1);
}

TEST(DecodeChain, ARefusedFrameIsOfferedAgainAfterDrainingAndNeverTwice) {
  Loop l;
  l.area.Set(640, 360);
  l.refuseEvery = 2;
  std::vector<std::unique_ptr<RECTS_INFO>> frames;
  for (uint8_t t = 1; t <= 4; ++t) frames.push_back(Frame(0, t, t));
  l.Run(std::move(frames));
  // Each refused frame is offered again, after a drain, before the next frame is popped.
  const Journal expected = {"open 0",     "send 0:1", "out 1", "refuse 0:2", "send 0:2", "out 2",
                            "refuse 0:3", "send 0:3", "out 3", "refuse 0:4", "send 0:4", "out 4"};
  EXPECT_EQ(l.journal, expected);
}

TEST(DecodeChain, CorruptFramesAreDroppedAndAnEmptyClientAreaDropsPictures) {
  Loop l;  // client area 0x0: a minimised window
  std::vector<std::unique_ptr<RECTS_INFO>> frames;
  frames.push_back(Frame(0, 1, 1));
  frames.push_back(Frame(0, 0xEE, 2));
  frames.push_back(Frame(0, 3, 3));
  l.Run(std::move(frames));
  const Journal expected = {"open 0", "send 0:1", "out 1", "send 0:3", "out 3"};
  EXPECT_EQ(l.journal, expected);
  EXPECT_EQ(l.buffer.Counter(), -2);  // decoded, but nothing published
  EXPECT_EQ(platform::WaitAny({&l.buffer.FrameReady()}, 0), platform::kWaitTimeout);
}

}  // namespace
