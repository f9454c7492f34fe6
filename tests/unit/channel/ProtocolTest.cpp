// The protocol views over a real transport: send boundaries, wire bytes and reading by channel.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/channel/ProtocolReceiver.h"
#include "sov/channel/ProtocolSender.h"
#include "sov/net/TransportBase.h"
#include "sov/protocol/Codec.h"

using platform::UniqueFd;
using B = std::vector<uint8_t>;

namespace {

class PairTransport : public TransportBase {
 public:
  // Takes one end of a socket pair.
  explicit PairTransport(int fd) : TransportBase(1, false, nullptr) { AdoptSocket(0, UniqueFd(fd)); }
};

// One record of a SOCK_SEQPACKET pair: exactly what one send() carried.
B NextRecord(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) != 1) return {};
  B buf(4096);
  ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
  buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return buf;
}

bool NothingPending(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

// A sender over one end of a SOCK_SEQPACKET pair, whose other end sees each send as one record.
class ProtocolSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    peer.Reset(fds[1]);
    transport = std::make_unique<PairTransport>(fds[0]);
    sender = std::make_unique<ProtocolSender>(transport.get());
  }
  void TearDown() override { EXPECT_TRUE(NothingPending(peer.Get())); }

  UniqueFd peer;
  std::unique_ptr<PairTransport> transport;
  std::unique_ptr<ProtocolSender> sender;
};

}  // namespace

TEST_F(ProtocolSenderTest, TypeAndPayloadAreSeparateSends) {
  sender->SendMessage<uint32_t>(proto::kHeartbeat, 1);
  EXPECT_EQ(NextRecord(peer.Get()), B{20});
  EXPECT_EQ(NextRecord(peer.Get()), (B{1, 0, 0, 0}));

  sender->SendType(proto::kKeepAlive);
  EXPECT_EQ(NextRecord(peer.Get()), B{11});

  proto::INCOMING_DECISION decision;
  decision.requestId[0] = 0xAB;
  decision.decision = 1;
  sender->SendMessage(proto::kIncomingRequest, decision);
  EXPECT_EQ(NextRecord(peer.Get()), B{25});
  B payload = NextRecord(peer.Get());
  ASSERT_EQ(payload.size(), 256u);
  EXPECT_EQ(payload[0], 0xAB);
  EXPECT_EQ(B(payload.begin() + 16, payload.begin() + 20), (B{1, 0, 0, 0}));
}

TEST_F(ProtocolSenderTest, MicrophoneFrameIsThreeSendsOrTwoWhenEmpty) {
  AUDIO_FRAMES frame;
  frame.header.frameCount = 480;
  frame.header.payloadSize = 999;  // replaced by the real size
  frame.capturePosition = 0x1122334455667788ull;
  frame.payload = {9, 8, 7};
  sender->SendMicrophoneFrame(frame);
  EXPECT_EQ(NextRecord(peer.Get()), B{13});
  B header = NextRecord(peer.Get());
  ASSERT_EQ(header.size(), 60u);
  EXPECT_EQ(B(header.begin(), header.begin() + 12), (B{0xE0, 0x01, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(B(header.begin() + 52, header.end()), (B{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(NextRecord(peer.Get()), (B{9, 8, 7}));

  frame.payload.clear();
  sender->SendMicrophoneFrame(frame);
  EXPECT_EQ(NextRecord(peer.Get()), B{13});
  header = NextRecord(peer.Get());
  ASSERT_EQ(header.size(), 60u);
  EXPECT_EQ(B(header.begin() + 8, header.begin() + 12), (B{0, 0, 0, 0}));
}

TEST_F(ProtocolSenderTest, HumanControlEventsSendTheirPrefixOnly) {
  HUMAN_CONTROL_EVENT_PACKET packet;
  for (int i = 0; i < 36; ++i) packet.bytes[i] = static_cast<uint8_t>(0xC0 + i);
  const std::pair<uint8_t, std::size_t> sizes[] = {{4, 2}, {9, 36}, {10, 22}, {18, 17}};
  for (auto [type, size] : sizes) {
    packet.bytes[0] = type;
    sender->SendHumanControlEvent(packet);
    B sent = NextRecord(peer.Get());
    ASSERT_EQ(sent.size(), size) << int(type);
    EXPECT_EQ(sent[0], type);
    EXPECT_EQ(sent.back(), 0xC0 + size - 1) << int(type);
  }
  packet.bytes[0] = 11;  // not an event: nothing goes out
  EXPECT_THROW(sender->SendHumanControlEvent(packet), ErrCodeException);
}

TEST(ProtocolReceiver, ReadsWholeMessagesByChannel) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd peer(fds[1]);
  PairTransport transport(fds[0]);
  ProtocolReceiver receiver(&transport);

  B wire = {0,                                                                 // no-op
            6,  1, 0, 0, 0, 0,   0, 0,    0,    2,    0,    0, 0, 0, 0, 0, 0,  // ping reply
            12, 4, 0, 0, 0, 'h', 0, 'i',  0,                                   // open link "hi"
            19, 1, 0, 0, 0, 0,   0, 0x10, 0x00, 0x20, 0x00, 0, 0,              // vibration
            7};                                                                // not an API type
  ASSERT_EQ(::send(peer.Get(), wire.data(), wire.size(), 0), ssize_t(wire.size()));
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
  ASSERT_EQ(::send(peer.Get(), cut.data(), cut.size(), 0), ssize_t(cut.size()));
  peer.Reset();
  EXPECT_THROW(receiver.ReceiveMessage(proto::kVideoChannel), ReceiveException);
  EXPECT_FALSE(transport.IsOpen(0));
}
