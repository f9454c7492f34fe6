// Wire layouts checked against bytes written out by hand from the message tables.
#include <gtest/gtest.h>

#include <vector>

#include "sov/base/BaseException.h"
#include "sov/protocol/Codec.h"
#include "sov/protocol/StreamParser.h"

using namespace proto;

// Copies a field out of a packed record; gtest would bind a reference to it, which may be misaligned.
template <class T>
T V(T value) {
  return value;
}
using B = std::vector<uint8_t>;

namespace {

template <class T>
B Encode(uint8_t type, const T& payload) {
  Bytes out;
  AppendMessage(out, type, payload);
  return out;
}

platform::Guid TestGuid() {
  return *platform::Guid::Parse("01234567-89ab-cdef-0123-456789abcdef");
}

}  // namespace

TEST(Layout, GreetingCarriesGuidInMemoryOrder) {
  GREETING g = MakeGreeting(TestGuid());
  auto bytes = AsBytes(g);
  ASSERT_EQ(bytes.size(), 276u);
  B head(bytes.begin(), bytes.begin() + 20);
  EXPECT_EQ(head, (B{23,   0,    0,    0,    0x67, 0x45, 0x23, 0x01, 0xab, 0x89,
                     0xef, 0xcd, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}));
  for (std::size_t i = 20; i < 276; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(Layout, VideoFrameWithBlocks) {
  RECTS_INFO f;
  f.header.codec = 1;
  f.header.frameStamp = -2;
  f.header.opaque[0] = 0xAA;
  f.blockA = {1};
  f.blockB = {};
  f.picture = {7, 8, 9};
  Bytes out;
  AppendVideoFrame(out, f);
  B expected = {2,                                                           // type
                1,    0,    0,    0,    0,    0,    0,    0,    3, 0, 0, 0,  // sizes A, B, picture
                0xAA, 0,    0,    0,    0,    0,                             // opaque
                1,    0,                                                     // codec HEVC
                0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,              // stamp -2
                1,    7,    8,    9};
  EXPECT_EQ(out, expected);
}

TEST(Layout, AudioAndMicrophoneFrames) {
  AUDIO_FRAMES a;
  a.header.frameCount = 1024;
  a.header.bufferFlags = kAudioBufferFlagSilent;
  a.header.format.formatTag = 0xFFFE;
  a.header.format.channels = 2;
  a.header.format.samplesPerSec = 48000;
  a.header.format.subFormat[15] = 0x71;
  a.capturePosition = 0x0102030405060708ull;
  a.payload = {0x55, 0x66};
  Bytes out;
  AppendAudioFrame(out, a);
  ASSERT_EQ(out.size(), 1u + 52 + 2);
  B head(out.begin(), out.begin() + 21);
  EXPECT_EQ(head, (B{3, 0x00, 0x04, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0xFE, 0xFF, 2, 0, 0x80, 0xBB, 0, 0}));
  EXPECT_EQ(out[1 + 12 + 39], 0x71);
  EXPECT_EQ(out[53], 0x55);

  Bytes mic;
  AppendMicrophoneFrame(mic, a);
  ASSERT_EQ(mic.size(), 1u + 60 + 2);
  EXPECT_EQ(mic[0], 13);
  EXPECT_EQ(B(mic.begin() + 53, mic.begin() + 61), (B{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(mic[61], 0x55);
}

TEST(Layout, CursorShapeHeaderFields) {
  B wire = {1,                                                                   // type
            2,    0,   0, 0, 32,   0,    0,    0,    32, 0, 0, 0, 128, 0, 0, 0,  // type, w, h, pitch
            5,    0,   0, 0, 0xFF, 0xFF, 0xFF, 0xFF,                             // hot spot 5, -1
            0,    0,   0, 0, 0,    0,    0,    0,                                // opaque
            1,    0,   0, 0,                                                     // visible + opaque
            2,    0,   0, 0,                                                     // shape size
            0,    0,   0, 0, 0,    0,    0,    0,    0,  0, 0, 0,                // opaque
            0xAB, 0xCD};
  std::vector<RawMessage> got;
  StreamParser parser(kMousePointerChannel, [&](RawMessage&& m) { got.push_back(std::move(m)); });
  parser.Feed(wire.data(), wire.size());
  ASSERT_EQ(got.size(), 1u);
  MOUSE_INFO m = ToCursorShape(std::move(got[0]));
  EXPECT_EQ(V(m.header.shapeType), kCursorColor);
  EXPECT_EQ(V(m.header.width), 32u);
  EXPECT_EQ(V(m.header.pitch), 128u);
  EXPECT_EQ(V(m.header.hotSpotX), 5);
  EXPECT_EQ(V(m.header.hotSpotY), -1);
  EXPECT_EQ(V(m.header.visible), 1);
  EXPECT_EQ(m.shape, (B{0xAB, 0xCD}));
  Bytes back;
  AppendCursorShape(back, m);
  EXPECT_EQ(back, wire);
}

TEST(Layout, ApiMessages) {
  using namespace RunTimeMapping;
  EXPECT_EQ(Encode(kResolution, MakeResolution(VideoResolution(0))),
            (B{8, 0x00, 0x05, 0, 0, 0xD0, 0x02, 0, 0}));
  // A rate of 0 means unlimited and travels as rate 100 with limited 0.
  EXPECT_EQ(Encode(kFrameRateLimit, MakeFrameRateLimit(0)), (B{5, 100, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(kFrameRateLimit, MakeFrameRateLimit(55)), (B{5, 55, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Encode<uint32_t>(kHeartbeat, 1), (B{20, 1, 0, 0, 0}));

  PING ping;
  ping.clientTime = 0x1122334455667788;
  EXPECT_EQ(Encode(kPing, ping),
            (B{6, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0, 0}));

  INCOMING_DECISION d;
  for (int i = 0; i < 16; ++i) d.requestId[i] = static_cast<uint8_t>(i + 1);
  d.decision = 1;
  B decision = Encode(kIncomingRequest, d);
  ASSERT_EQ(decision.size(), 257u);
  EXPECT_EQ(decision[0], 25);
  EXPECT_EQ(decision[16], 16);
  EXPECT_EQ(B(decision.begin() + 17, decision.begin() + 21), (B{1, 0, 0, 0}));
  for (std::size_t i = 21; i < decision.size(); ++i) ASSERT_EQ(decision[i], 0);

  Bytes link;  // station to client: the UTF-16 byte count, then the text
  AppendOpenLink(link, u"ht\u0416");
  EXPECT_EQ(link, (B{12, 6, 0, 0, 0, 'h', 0, 't', 0, 0x16, 0x04}));
}

TEST(Layout, HumanControlEventsSendTheirPrefix) {
  HC_KEYBOARD_EVENT k;
  k.makeCode = 0x1E;
  k.flags = 1;
  k.vkey = 0x41;
  k.message = 0x0101;
  k.extraInformation = 0xDEADBEEF;
  Bytes out;
  AppendHumanControlEvent(out, HUMAN_CONTROL_EVENT_PACKET::From(k));
  EXPECT_EQ(out,
            (B{10, 0, 0x1E, 0, 0, 0, 1, 0, 0, 0, 0x41, 0, 0, 0, 0x01, 0x01, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE}));

  HC_MOUSE_EVENT m;
  m.flags = 1;
  m.buttonFlags = 0x400;
  m.buttonData = 0xFF88;  // -120: one notch towards the user
  m.rawButtons = 2;
  m.x = 1.0;
  m.y = -2.0;
  m.absolute = 1;
  m.extraInformation = 7;
  out.clear();
  AppendHumanControlEvent(out, HUMAN_CONTROL_EVENT_PACKET::From(m));
  EXPECT_EQ(out, (B{9, 1, 0, 0,    0,    0, 4, 0, 0, 0x88, 0xFF, 2, 0,    0, 0, 0, 0, 0,
                    0, 0, 0, 0xF0, 0x3F, 0, 0, 0, 0, 0,    0,    0, 0xC0, 1, 7, 0, 0, 0}));

  HC_GAMEPAD_EVENT g;
  g.controller = 2;
  g.buttons = 0x1001;
  g.leftTrigger = 255;
  g.thumbLX = -32768;
  g.thumbRY = 32767;
  out.clear();
  AppendHumanControlEvent(out, HUMAN_CONTROL_EVENT_PACKET::From(g));
  EXPECT_EQ(out, (B{18, 2, 0, 0, 0, 0x01, 0x10, 255, 0, 0x00, 0x80, 0, 0, 0, 0, 0xFF, 0x7F}));

  out.clear();
  AppendHumanControlEvent(out, HUMAN_CONTROL_EVENT_PACKET::From(HC_RELEASE_EVENT{}));
  EXPECT_EQ(out, (B{4, 0}));
}
