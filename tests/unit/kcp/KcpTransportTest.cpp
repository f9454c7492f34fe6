// KCPTransportBase over real loopback UDP: set-up from the parameters record, a lossy relay between
// the client and a KCP station, two conversations side by side, and a station that is not there.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>

#include "platform/Event.h"
#include "platform/Wait.h"
#include "sov/base/BaseException.h"
#include "sov/kcp/KCPTransport.h"
#include "tests/unit/TestWine.h"
#include "tests/unit/kcp/ChannelParams.h"
#include "tests/unit/kcp/UdpRelay.h"
#include "tests/unit/net/Interrupted.h"

using namespace kcptest;

namespace {

// Collects the delivered segments of each message.
class CollectingTransport : public KCPTransportBase {
 public:
  using KCPTransportBase::KCPTransportBase;
  bool StepCollect() {
    bool delivered = Step();
    if (delivered) {
      messages.push_back(std::move(current_));
      current_.clear();
    }
    return delivered;
  }
  std::vector<Bytes> messages;
  int idles = 0;

 protected:
  void DataReceived(const uint8_t* data, std::size_t size) override {
    current_.insert(current_.end(), data, data + size);
  }
  void Idle() override { ++idles; }

 private:
  Bytes current_;
};

Bytes Pattern(std::mt19937& rng, std::size_t size, uint32_t tag) {
  Bytes m(size);
  for (auto& c : m) c = static_cast<uint8_t>(rng());
  if (size >= 4) memcpy(m.data(), &tag, 4);
  return m;
}

const uint8_t kKeepAlive = 11;

}  // namespace

TEST(KcpTransport, SetUpFollowsTheParametersRecord) {
  proto::UDP_CHANNEL_PARAMS p = Params(7);
  p.sliceSize = 0;
  p.packetSize = 40;
  p.sendWnd = 64;  // the station's send window is the client's receive window
  p.recvWnd = 300;
  CollectingTransport t(Loopback(), 9, p, nullptr);
  EXPECT_EQ(t.SliceSize(), 32768u);
  EXPECT_EQ(t.Protocol().Mtu(), 1400u);
  EXPECT_EQ(t.Protocol().RcvWnd(), 128u);
  EXPECT_EQ(t.Protocol().SndWnd(), 300u);
  // Latency over bandwidth: 2 ms timer, 10 ms minimum RTO, resend after one skip, no congestion window.
  EXPECT_EQ(t.Protocol().Interval(), 2u);
  EXPECT_EQ(t.Protocol().MinRto(), 10u);
  EXPECT_EQ(t.Protocol().NoDelay() * 10 + t.Protocol().FastResend(), 21);
  EXPECT_TRUE(t.Protocol().CongestionWindowOff());
  EXPECT_NE(t.LocalPort(), 0);

  p.sendWnd = 0;
  p.recvWnd = 0;
  p.packetSize = 576;
  p.sliceSize = 1 << 20;  // would need more fragments than one KCP message may carry
  CollectingTransport u(Loopback(), 9, p, nullptr);
  EXPECT_EQ(u.Protocol().SndWnd(), 32u);
  EXPECT_EQ(u.Protocol().RcvWnd(), 128u);
  EXPECT_EQ(u.Protocol().Mtu(), 576u);
  EXPECT_EQ(u.SliceSize(), 552u * 127);
  Bytes big(1 << 20);
  EXPECT_NO_THROW(u.Send(big.data(), big.size()));

  // Negative configuration values arrive as large unsigned ones and count as "not given".
  p.sliceSize = static_cast<uint32_t>(-5);
  p.packetSize = static_cast<uint32_t>(-1);
  p.sendWnd = static_cast<uint32_t>(-1);
  p.recvWnd = static_cast<uint32_t>(-1);
  CollectingTransport v(Loopback(), 9, p, nullptr);
  EXPECT_EQ(v.SliceSize(), 32768u);
  EXPECT_EQ(v.Protocol().Mtu(), 1400u);
  EXPECT_EQ(v.Protocol().SndWnd(), 32u);
  EXPECT_EQ(v.Protocol().RcvWnd(), 128u);
}

TEST(KcpTransport, SendCutsAFrameIntoSliceSizedMessages) {
  KcpStation station(42);
  CollectingTransport t(Loopback(), station.Port(), Params(42), nullptr);
  std::mt19937 rng(5);
  Bytes frame = Pattern(rng, 100000, 1);
  t.Send(frame.data(), frame.size());
  int64_t deadline = NowUs() + 10'000'000;
  while (station.received.size() < 4 && NowUs() < deadline) {
    t.StepCollect();
    station.Pump();
  }
  ASSERT_EQ(station.received.size(), 4u);
  EXPECT_EQ(station.received[0].size(), 32768u);
  EXPECT_EQ(station.received[1].size(), 32768u);
  EXPECT_EQ(station.received[2].size(), 32768u);
  EXPECT_EQ(station.received[3].size(), 100000u - 3 * 32768);
  Bytes joined;
  for (auto& m : station.received) joined.insert(joined.end(), m.begin(), m.end());
  EXPECT_EQ(joined, frame);
  EXPECT_GT(t.TotalBytesSent(), 100000u);
  EXPECT_GT(t.LastActivityMs(), 0);
}

// Both directions through loss, duplication, reordering and delay: every message arrives once, intact
// and in order.
TEST(KcpTransport, LossyRelayDeliversEveryMessageExactlyOnceInOrder) {
  for (unsigned seed : {11u, 12u}) {
    KcpStation station(0xABCDEF01u);
    RelayOptions o;
    o.lossPercent = 10;
    o.dupPercent = 5;
    o.reorderPercent = 10;
    o.delayMs = 2;
    o.jitterMs = 3;
    o.seed = seed;
    UdpRelay relay(station.Port(), o);
    CollectingTransport t(Loopback(), relay.FrontPort(), Params(0xABCDEF01u), nullptr);
    t.Send(&kKeepAlive, 1);

    std::mt19937 rng(seed);
    std::vector<Bytes> down, up;
    for (uint32_t i = 0; i < 120; ++i) down.push_back(Pattern(rng, 1 + rng() % 32768, i));
    for (uint32_t i = 0; i < 40; ++i) up.push_back(Pattern(rng, 1 + rng() % 3000, i));
    std::size_t nextDown = 0, nextUp = 0;

    int64_t deadline = NowUs() + 60'000'000;
    while ((t.messages.size() < down.size() || station.received.size() < up.size() + 1) &&
           NowUs() < deadline) {
      if (station.HavePeer() && nextDown < down.size() && station.Kcp().WaitSend() < 256) {
        station.Kcp().Send(down[nextDown].data(), down[nextDown].size());
        ++nextDown;
      }
      if (nextUp < up.size() && t.Protocol().WaitSend() < 64) {
        t.Send(up[nextUp].data(), up[nextUp].size());
        ++nextUp;
      }
      t.StepCollect();
      relay.Pump();
      station.Pump();
      relay.Pump();
    }
    EXPECT_GT(relay.Dropped(), 0u);
    ASSERT_EQ(t.messages.size(), down.size()) << "seed " << seed;
    for (std::size_t i = 0; i < down.size(); ++i) ASSERT_EQ(t.messages[i], down[i]) << "message " << i;
    ASSERT_EQ(station.received.size(), up.size() + 1);
    EXPECT_EQ(station.received[0], Bytes{kKeepAlive});
    for (std::size_t i = 0; i < up.size(); ++i) ASSERT_EQ(station.received[i + 1], up[i]) << "message " << i;
    EXPECT_GT(t.idles, 0);
  }
}

// Video and audio run at once with conversation identifiers one apart on different ports; a datagram
// of the one conversation reaching the other is ignored.
TEST(KcpTransport, TwoConversationsIgnoreEachOther) {
  const uint32_t video = 0xFFFFFFFFu, audio = video + 1;  // wraps to 0
  KcpStation vs(video), as(audio);
  ASSERT_NE(vs.Port(), as.Port());
  CollectingTransport vt(Loopback(), vs.Port(), Params(video), nullptr);
  CollectingTransport at(Loopback(), as.Port(), Params(audio), nullptr);
  vt.Send(&kKeepAlive, 1);
  at.Send(&kKeepAlive, 1);
  auto step = [&] {
    vt.StepCollect();
    at.StepCollect();
    vs.Pump();
    as.Pump();
  };
  int64_t deadline = NowUs() + 10'000'000;
  while ((!vs.HavePeer() || !as.HavePeer()) && NowUs() < deadline) step();
  ASSERT_TRUE(vs.HavePeer() && as.HavePeer());

  // The audio station's port carries a video-conversation segment: the audio transport drops it.
  kcp::SegmentHeader h;
  h.conv = video;
  h.cmd = kcp::kCmdPush;
  h.wnd = 128;
  h.len = 3;
  Bytes foreign(kcp::kOverhead);
  kcp::EncodeHeader(h, foreign.data());
  foreign.insert(foreign.end(), {'b', 'a', 'd'});
  as.SendRaw(foreign);

  Bytes vmsg{'v', 'i', 'd'}, amsg{'a', 'u', 'd'};
  vs.Kcp().Send(vmsg.data(), vmsg.size());
  as.Kcp().Send(amsg.data(), amsg.size());
  while ((vt.messages.empty() || at.messages.empty()) && NowUs() < deadline) step();
  for (int i = 0; i < 20; ++i) step();  // let stray datagrams arrive, if any were to
  EXPECT_EQ(vt.messages, std::vector<Bytes>{vmsg});
  EXPECT_EQ(at.messages, std::vector<Bytes>{amsg});
  EXPECT_EQ(vs.Ignored(), 0u);
  EXPECT_EQ(as.Ignored(), 0u);
}

// Nothing listens on the station's port: the kernel's refusal surfaces as a TransportException,
// upon which the channel thread rebuilds the transport.
TEST(KcpTransport, AbsentStationRaisesTransportException) {
  if (testsys::UnderWine())
    GTEST_SKIP() << "Wine does not pass ICMP port-unreachable on to a connected UDP socket (Windows reports "
                    "WSAECONNRESET, Linux ECONNREFUSED)";
  uint16_t port;
  int fd = BoundUdp(&port);
  CloseUdp(fd);
  CollectingTransport t(Loopback(), port, Params(1), nullptr);
  bool thrown = false;
  int64_t deadline = NowUs() + 5'000'000;
  try {
    t.Send(&kKeepAlive, 1);
    while (NowUs() < deadline) t.StepCollect();
  } catch (const TransportException& e) {
    thrown = true;
    EXPECT_EQ(e.Code(), ECONNREFUSED);
  }
  EXPECT_TRUE(thrown);
}

// Each step waits for datagrams only briefly, but the channel thread keeps stepping while the
// station is silent; the interrupt ends that loop at its next wait.
TEST(KcpTransport, InterruptEndsTheReceiveLoop) {
  uint16_t port;
  int fd = BoundUdp(&port);  // a station that never answers
  platform::Event interrupt(true);
  CollectingTransport t(Loopback(), port, Params(5), &interrupt);
  std::atomic<bool> stop{false};
  auto took = nettest::TimeToInterrupt(
      interrupt,
      [&] {
        while (!stop) t.StepCollect();
      },
      [&] { stop = true; });
  EXPECT_LT(took, std::chrono::milliseconds(500));
  CloseUdp(fd);
}

// The figures are bytes x 8 / 1048576 per second of the period; the averages shown by the statistics
// follow the last five periods, not the whole conversation.
TEST(KcpTransport, ByteRatesAverageTheLastFivePeriods) {
  KcpByteRates r;
  r.Start(10'000);
  r.CountReceived(131072);  // one megabit
  EXPECT_FALSE(r.Tick(10'999));
  r.CountSent(65536);
  ASSERT_TRUE(r.Tick(11'000));
  EXPECT_DOUBLE_EQ(r.ReceiveMbps(), 1.0);
  EXPECT_DOUBLE_EQ(r.SendMbps(), 0.5);
  EXPECT_DOUBLE_EQ(r.AverageReceiveMbps(), 1.0);
  // A late turn divides by the time that really passed; the counters start again from 0.
  r.CountReceived(4 * 131072);
  ASSERT_TRUE(r.Tick(13'000));
  EXPECT_DOUBLE_EQ(r.ReceiveMbps(), 2.0);
  EXPECT_DOUBLE_EQ(r.SendMbps(), 0.0);
  EXPECT_DOUBLE_EQ(r.AverageReceiveMbps(), 1.5);
  EXPECT_DOUBLE_EQ(r.AverageSendMbps(), 0.25);
  int64_t now = 13'000;
  for (uint64_t mbit : {3, 4, 5, 6}) {
    r.CountReceived(mbit * 131072);
    now += 1000;
    ASSERT_TRUE(r.Tick(now));
  }
  EXPECT_DOUBLE_EQ(r.ReceiveMbps(), 6.0);
  EXPECT_DOUBLE_EQ(r.AverageReceiveMbps(), (2.0 + 3 + 4 + 5 + 6) / 5);  // the 1 has left the window
  EXPECT_DOUBLE_EQ(r.AverageSendMbps(), 0.0);
  EXPECT_EQ(r.TotalReceived(), 23u * 131072);
  EXPECT_EQ(r.TotalSent(), 65536u);
}

// With force flush a send leaves before the call returns, as one datagram whose bytes follow the
// segment layout; without it the message waits for the next timer turn.
TEST(KcpTransport, ForceFlushSendsAtOnce) {
  for (uint32_t force : {1u, 0u}) {
    uint16_t port;
    int fd = BoundUdp(&port);
    proto::UDP_CHANNEL_PARAMS p = Params(0x0A0B0C0D);
    p.forceFlush = force;
    p.sendWnd = 300;  // the client's receive window, announced in every segment
    CollectingTransport t(Loopback(), port, p, nullptr);
    t.StepCollect();  // the timer has run once; nothing is queued, so nothing is sent
    t.Send(&kKeepAlive, 1);
    const int fds[] = {fd};
    auto readable = [&](int ms) { return platform::WaitAnyFd(fds, {}, ms) == 0; };
    if (force) {
      EXPECT_TRUE(readable(5000)) << "force flush";
    } else {
      EXPECT_FALSE(readable(100)) << "sent without force flush before the timer ran";
      int64_t deadline = NowUs() + 5'000'000;
      while (!readable(0) && NowUs() < deadline) t.StepCollect();
    }
    Bytes d(2048);
    sockaddr_in from{};
    long n = ReceiveFrom(fd, d.data(), d.size(), from);
    ASSERT_EQ(n, 25) << "force " << force;
    const uint8_t head[] = {0x0D, 0x0C, 0x0B, 0x0A, 81, 0, 0x2C, 0x01};  // conv, push, frg 0, wnd 300
    EXPECT_EQ(0, memcmp(d.data(), head, sizeof head));
    const uint8_t tail[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, kKeepAlive};  // sn 0, una 0, len 1, data
    EXPECT_EQ(0, memcmp(d.data() + 12, tail, sizeof tail));
    CloseUdp(fd);
  }
}
