// The protocol views over a real transport: wire bytes and reading by channel.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/channel/ProtocolReceiver.h"
#include "sov/channel/ProtocolSender.h"
#include "sov/net/TransportBase.h"
#include "sov/protocol/Codec.h"
#include "tests/unit/TestSockets.h"

using platform::UniqueFd;
using B = std::vector<uint8_t>;

namespace {

class PairTransport : public TransportBase {
 public:
  // Takes one end of a socket pair.
  explicit PairTransport(int fd) : TransportBase(1, false, nullptr) { AdoptSocket(0, UniqueFd(fd)); }
};

// A transport over one end of a loopback TCP pair, and the other end.
struct SocketPair {
  testsys::SocketPair sockets;
  PairTransport transport{sockets.a.Release()};
  UniqueFd& peer = sockets.b;
};

// Everything the peer has received so far: loopback TCP hands bytes over asynchronously, so the
// first byte is waited for, and then whatever follows within a short while.
B Pending(int fd) {
  B out(4096);
  std::size_t used = 0;
  for (int waitMs = 5000; used < out.size(); waitMs = 100) {
    long n = testsys::ReceiveUpTo(fd, out.data() + used, out.size() - used, waitMs);
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  out.resize(used);
  return out;
}

}  // namespace

TEST(ProtocolSender, WritesTypeThenPayload) {
  SocketPair pair;
  int peer = pair.peer.Get();
  ProtocolSender sender(&pair.transport);

  sender.SendMessage<uint32_t>(proto::kHeartbeat, 1);
  sender.SendType(proto::kKeepAlive);
  EXPECT_EQ(Pending(peer), (B{20, 1, 0, 0, 0, 11}));

  // The header's payload size is taken from the frame, whatever the header said.
  AUDIO_FRAMES frame;
  frame.header.frameCount = 480;
  frame.header.payloadSize = 999;
  frame.capturePosition = 0x1122334455667788ull;
  frame.payload = {9, 8, 7};
  sender.SendMicrophoneFrame(frame);
  B mic = Pending(peer);
  ASSERT_EQ(mic.size(), 1u + 60 + 3);
  EXPECT_EQ(B(mic.begin(), mic.begin() + 13), (B{13, 0xE0, 0x01, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(B(mic.begin() + 53, mic.end()), (B{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 9, 8, 7}));
  frame.payload.clear();
  sender.SendMicrophoneFrame(frame);
  EXPECT_EQ(Pending(peer).size(), 1u + 60);

  // Control events go out as their wire prefix only; a packet of another type not at all.
  HUMAN_CONTROL_EVENT_PACKET packet;
  packet.bytes[0] = proto::kControlReleased;
  packet.bytes[2] = 0xEE;
  sender.SendHumanControlEvent(packet);
  packet.bytes[0] = 11;
  EXPECT_THROW(sender.SendHumanControlEvent(packet), ErrCodeException);
  EXPECT_EQ(Pending(peer), (B{4, 0}));
}

TEST(ProtocolReceiver, ReadsWholeMessagesByChannel) {
  SocketPair pair;
  UniqueFd& peer = pair.peer;
  ProtocolReceiver receiver(&pair.transport);

  B wire = {0,                                                                 // no-op
            6,  1, 0, 0, 0, 0,   0, 0,    0,    2,    0,    0, 0, 0, 0, 0, 0,  // ping reply
            12, 5, 0, 0, 0, 'h', 0, 'i',  0,    'x',                           // "hi", odd byte dropped
            19, 1, 0, 0, 0, 0,   0, 0x10, 0x00, 0x20, 0x00, 0, 0,              // vibration
            7};                                                                // not an API type
  ASSERT_TRUE(testsys::SendAll(peer.Get(), {reinterpret_cast<const char*>(wire.data()), wire.size()}));
  EXPECT_EQ(receiver.ReceiveMessage(proto::kApiChannel).type, proto::kNoop);
  auto reply = proto::FixedAs<proto::PING_REPLY>(receiver.ReceiveMessage(proto::kApiChannel));
  EXPECT_EQ(int64_t{reply.clientTime}, 1);
  EXPECT_EQ(int64_t{reply.stationTime}, 2);
  EXPECT_EQ(proto::ToOpenLink(receiver.ReceiveMessage(proto::kApiChannel)), u"hi");
  auto vibration = proto::FixedAs<proto::GAMEPAD_VIBRATION>(receiver.ReceiveMessage(proto::kApiChannel));
  EXPECT_EQ(uint16_t{vibration.leftMotor}, 0x10);
  EXPECT_EQ(uint16_t{vibration.rightMotor}, 0x20);
  try {
    receiver.ReceiveMessage(proto::kApiChannel);
    FAIL() << "type 7 accepted";
  } catch (const ProtocolException& e) {
    EXPECT_STREQ(e.Message(), "General protocol failure");
  }

  // A message cut short by the peer's end is a receive failure that releases the socket.
  B cut = {2, 1, 0, 0};
  ASSERT_TRUE(testsys::SendAll(peer.Get(), {reinterpret_cast<const char*>(cut.data()), cut.size()}));
  peer.Reset();
  EXPECT_THROW(receiver.ReceiveMessage(proto::kVideoChannel), ReceiveException);
  EXPECT_FALSE(pair.transport.IsOpen(0));
}

// Large blocks are read in steps, never allocated whole from the announced size: a picture over two
// steps long arrives intact, a cursor shape over its limit is refused after its header, and a
// stream that ends inside a large block is a receive failure.
TEST(ProtocolReceiver, LargeAndHostileBlocks) {
  SocketPair pair;
  UniqueFd& peer = pair.peer;
  ProtocolReceiver receiver(&pair.transport);

  RECTS_INFO frame;
  frame.picture.resize(2 * proto::kReadStep + 5);
  for (std::size_t i = 0; i < frame.picture.size(); ++i) frame.picture[i] = static_cast<uint8_t>(i * 7);
  proto::Bytes video;
  proto::AppendVideoFrame(video, frame);
  proto::Bytes wire = video;
  wire.insert(wire.end(), {proto::kCursorShape});
  wire.resize(wire.size() + sizeof(proto::CURSOR_SHAPE_HEADER));
  std::memset(wire.data() + wire.size() - sizeof(proto::CURSOR_SHAPE_HEADER) + 36, 0xFF, 4);  // shape size
  wire.insert(wire.end(), video.begin(), video.end() - proto::kReadStep - 10);
  auto writer = std::async(std::launch::async, [&] {
    testsys::SendAll(peer.Get(), {reinterpret_cast<const char*>(wire.data()), wire.size()});
    peer.Reset();
  });
  EXPECT_EQ(proto::ToVideoFrame(receiver.ReceiveMessage(proto::kVideoChannel)).picture, frame.picture);
  EXPECT_THROW(receiver.ReceiveMessage(proto::kMousePointerChannel), ProtocolException);
  EXPECT_THROW(receiver.ReceiveMessage(proto::kVideoChannel), ReceiveException);
  writer.get();
}
