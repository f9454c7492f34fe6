// The incremental parser over arbitrary splits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/protocol/StreamParser.h"

using namespace proto;

// Copies a field out of a packed record; gtest would bind a reference to it, which may be misaligned.
template <class T>
T V(T value) {
  return value;
}
using B = std::vector<uint8_t>;

namespace {

B VideoFrameWire(uint16_t codec, int64_t stamp, B a, B b, B picture) {
  RECTS_INFO f;
  f.header.codec = codec;
  f.header.frameStamp = stamp;
  f.blockA = std::move(a);
  f.blockB = std::move(b);
  f.picture = std::move(picture);
  Bytes out;
  AppendVideoFrame(out, f);
  return out;
}

B AudioFrameWire(uint32_t frames, B payload) {
  AUDIO_FRAMES a;
  a.header.frameCount = frames;
  a.payload = std::move(payload);
  Bytes out;
  AppendAudioFrame(out, a);
  return out;
}

struct Collector {
  std::vector<RawMessage> messages;
  StreamParser::Handler Handler() {
    return [this](RawMessage&& m) { messages.push_back(std::move(m)); };
  }
};

std::string ProtocolText(StreamParser& parser, const B& bytes) {
  try {
    parser.Feed(bytes);
  } catch (const ProtocolException& e) {
    return e.Message();
  }
  return "no exception";
}

}  // namespace

// Fed one byte at a time, every split point of every message is crossed.
TEST(StreamParser, ByteByByteStreamOfMixedMessages) {
  B wire = {kNoop, kKeepAlive};
  B v = VideoFrameWire(4, 123456789, {1, 2}, {3}, {4, 5, 6, 7, 8});
  B a = AudioFrameWire(480, {1, 2, 3});
  for (const B* part : {&v, &a, &v}) wire.insert(wire.end(), part->begin(), part->end());
  Collector c;
  StreamParser parser(kUdpChannel, c.Handler());
  for (uint8_t b : wire) parser.Feed(&b, 1);
  ASSERT_EQ(c.messages.size(), 5u);
  EXPECT_TRUE(parser.Idle());
  EXPECT_EQ(c.messages[0].type, kNoop);
  EXPECT_EQ(c.messages[1].type, kKeepAlive);
  AUDIO_FRAMES audio = ToAudioFrame(std::move(c.messages[3]));
  EXPECT_EQ(V(audio.header.frameCount), 480u);
  EXPECT_EQ(audio.payload, (B{1, 2, 3}));
  for (std::size_t i : {2u, 4u}) {
    RECTS_INFO f = ToVideoFrame(std::move(c.messages[i]));
    EXPECT_EQ(V(f.header.codec), 4);
    EXPECT_EQ(V(f.header.frameStamp), 123456789);
    EXPECT_EQ(f.blockA, (B{1, 2}));
    EXPECT_EQ(f.blockB, (B{3}));
    EXPECT_EQ(f.picture, (B{4, 5, 6, 7, 8}));
  }
}

TEST(StreamParser, AllZeroSizesCompleteWithTheHeader) {
  B video = VideoFrameWire(0, 0, {}, {}, {});
  ASSERT_EQ(video.size(), 29u);
  B audio = AudioFrameWire(0, {});
  ASSERT_EQ(audio.size(), 53u);
  Collector c;
  StreamParser parser(kUdpChannel, c.Handler());
  parser.Feed(video);
  parser.Feed(audio);
  ASSERT_EQ(c.messages.size(), 2u);
  RECTS_INFO f = ToVideoFrame(std::move(c.messages[0]));
  EXPECT_TRUE(f.blockA.empty() && f.blockB.empty() && f.picture.empty());
  EXPECT_TRUE(ToAudioFrame(std::move(c.messages[1])).payload.empty());
  EXPECT_TRUE(parser.Idle());
}

TEST(StreamParser, UnknownTypesCarryTheChannelText) {
  for (uint8_t type : {uint8_t{1}, uint8_t{6}, uint8_t{7}, uint8_t{23}, uint8_t{27}, uint8_t{255}}) {
    StreamParser parser(kUdpChannel, [](RawMessage&&) {});
    EXPECT_EQ(ProtocolText(parser, {type}), "General protocol failure: unknown message UID") << int(type);
  }
  StreamParser video(kVideoChannel, [](RawMessage&&) {});
  EXPECT_EQ(ProtocolText(video, {kAudioFrame}), "Unexpected message header");
  StreamParser api(kApiChannel, [](RawMessage&&) {});
  EXPECT_EQ(ProtocolText(api, {kKeepAlive}), "General protocol failure");
  StreamParser mouse(kMousePointerChannel, [](RawMessage&&) {});
  EXPECT_EQ(ProtocolText(mouse, {kVideoFrame}), "General protocol failure");
}

TEST(StreamParser, MessagesBeforeABadTypeAreDeliveredAndTheParserStaysFailed) {
  B wire = {kKeepAlive, 99, kKeepAlive};
  Collector c;
  StreamParser parser(kUdpChannel, c.Handler());
  EXPECT_THROW(parser.Feed(wire), ProtocolException);
  EXPECT_EQ(c.messages.size(), 1u);
  B keepAlive = {kKeepAlive};
  EXPECT_THROW(parser.Feed(keepAlive), ProtocolException);
  parser.Reset();
  parser.Feed(keepAlive);
  EXPECT_EQ(c.messages.size(), 2u);
}

TEST(StreamParser, OversizedBlocksFailBeforeAllocation) {
  // A picture size of 0xFFFFFFFF must not be allocated.
  B wire = VideoFrameWire(0, 0, {}, {}, {});
  std::memset(wire.data() + 9, 0xFF, 4);
  StreamParser parser(kUdpChannel, [](RawMessage&&) { FAIL(); });
  EXPECT_EQ(ProtocolText(parser, wire), "Announced block size is over the limit");

  // Exactly at the limit is accepted (nothing beyond the header is fed here).
  B atLimit = AudioFrameWire(0, {});
  uint32_t limit = kMaxAudioPayloadSize;
  std::memcpy(atLimit.data() + 9, &limit, 4);
  StreamParser audio(kUdpChannel, [](RawMessage&&) {});
  audio.Feed(atLimit);
  EXPECT_FALSE(audio.Idle());
  ++limit;
  std::memcpy(atLimit.data() + 9, &limit, 4);
  StreamParser over(kUdpChannel, [](RawMessage&&) {});
  EXPECT_THROW(over.Feed(atLimit), ProtocolException);

  // Block B over the limit fails even though block A is fine.
  B twoBlocks = VideoFrameWire(0, 0, {}, {}, {});
  uint32_t big = kMaxVideoBlockSize + 1;
  std::memcpy(twoBlocks.data() + 5, &big, 4);
  StreamParser video(kUdpChannel, [](RawMessage&&) {});
  EXPECT_THROW(video.Feed(twoBlocks), ProtocolException);

  B link = {kOpenLink, 0, 0, 0, 0};
  uint32_t len = kMaxOpenLinkSize + 1;
  std::memcpy(link.data() + 1, &len, 4);
  StreamParser api(kApiChannel, [](RawMessage&&) {});
  EXPECT_THROW(api.Feed(link), ProtocolException);
}
