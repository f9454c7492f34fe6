// The KCP control block alone: hand-built segments answered as the published protocol says, and two
// blocks over a simulated lossy link with a simulated clock.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "sov/kcp/KcpProtocol.h"
#include "tests/unit/kcp/UdpRelay.h"

using namespace kcp;

namespace {

using Bytes = std::vector<uint8_t>;

// Captures every datagram a block outputs, and the batch sizes.
struct Capture {
  std::vector<Bytes> datagrams;
  std::vector<std::size_t> batches;
  OutputFn Fn() {
    return [this](std::span<const Datagram> b) {
      batches.push_back(b.size());
      for (auto d : b) datagrams.emplace_back(d.begin(), d.end());
    };
  }
  // All segments of all captured datagrams.
  std::vector<std::pair<SegmentHeader, Bytes>> Segments() const {
    std::vector<std::pair<SegmentHeader, Bytes>> out;
    for (const auto& d : datagrams) {
      std::size_t off = 0;
      while (off + kOverhead <= d.size()) {
        SegmentHeader h = DecodeHeader(d.data() + off);
        off += kOverhead;
        out.emplace_back(h, Bytes(d.begin() + off, d.begin() + off + h.len));
        off += h.len;
      }
      EXPECT_EQ(off, d.size());
    }
    return out;
  }
  void Clear() {
    datagrams.clear();
    batches.clear();
  }
};

Bytes Seg(uint32_t conv, uint8_t cmd, uint32_t sn, uint32_t una, uint16_t wnd = 128, uint8_t frg = 0,
          Bytes data = {}, uint32_t ts = 0) {
  SegmentHeader h;
  h.conv = conv;
  h.cmd = cmd;
  h.frg = frg;
  h.wnd = wnd;
  h.ts = ts;
  h.sn = sn;
  h.una = una;
  h.len = static_cast<uint32_t>(data.size());
  Bytes out(kOverhead);
  EncodeHeader(h, out.data());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool Feed(KcpProtocol& k, const Bytes& d) {
  return k.Input(d.data(), d.size());
}

std::vector<Bytes> DeliverAll(KcpProtocol& k) {
  std::vector<Bytes> msgs;
  for (;;) {
    Bytes m;
    if (!k.Deliver([&](const uint8_t* p, std::size_t n) { m.insert(m.end(), p, p + n); })) break;
    msgs.push_back(std::move(m));
  }
  return msgs;
}

void ClientSettings(KcpProtocol& k) {
  k.SetNoDelay(2, 2, 1, 1);
  k.SetMinRto(10);
}

constexpr uint32_t kConv = 0x11223344;

}  // namespace

TEST(KcpSegment, HeaderLayoutIsLittleEndianAt24Bytes) {
  SegmentHeader h{0x04030201, kCmdPush, 7, 0x0908, 0x0D0C0B0A, 0x11100F0E, 0x15141312, 0x19181716};
  uint8_t b[kOverhead];
  EncodeHeader(h, b);
  const uint8_t want[kOverhead] = {0x01, 0x02, 0x03, 0x04, 81,   7,    0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
                                   0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19};
  EXPECT_EQ(0, memcmp(b, want, kOverhead));
  uint8_t again[kOverhead];
  EncodeHeader(DecodeHeader(want), again);
  EXPECT_EQ(0, memcmp(again, want, kOverhead));
}

TEST(KcpInput, ForeignAndMalformedDatagramsAreIgnoredWhole) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  k.Update(1000);
  cap.Clear();
  Bytes good = Seg(kConv, kCmdPush, 0, 0, 128, 0, {1, 2, 3});

  EXPECT_FALSE(Feed(k, Seg(kConv + 1, kCmdPush, 0, 0, 128, 0, {1})));  // other conversation
  EXPECT_FALSE(Feed(k, Seg(kConv, 85, 0, 0)));                         // unknown command
  EXPECT_FALSE(Feed(k, Seg(kConv, 80, 0, 0)));
  Bytes truncated(good.begin(), good.begin() + 20);
  EXPECT_FALSE(Feed(k, truncated));
  Bytes shortData(good.begin(), good.end() - 1);  // len says 3, two bytes follow
  EXPECT_FALSE(Feed(k, shortData));
  Bytes hugeLen = Seg(kConv, kCmdPush, 0, 0);
  hugeLen[20] = 0xFF, hugeLen[21] = 0xFF, hugeLen[22] = 0xFF, hugeLen[23] = 0xFF;
  EXPECT_FALSE(Feed(k, hugeLen));
  // A valid first segment does not rescue a datagram whose second segment is foreign or bad.
  EXPECT_FALSE(Feed(k, Cat({good, Seg(kConv ^ 1, kCmdAck, 0, 0)})));
  EXPECT_FALSE(Feed(k, Cat({good, Seg(kConv, 99, 0, 0)})));
  Bytes cutSecond = Cat({good, Seg(kConv, kCmdAck, 0, 0)});
  cutSecond.resize(good.size() + 10);
  EXPECT_FALSE(Feed(k, cutSecond));
  // A message of more fragments than any receive window holds.
  EXPECT_FALSE(Feed(k, Seg(kConv, kCmdPush, 0, 0, 128, 200, {1})));
  EXPECT_FALSE(k.Input(nullptr, 0));

  EXPECT_EQ(k.RcvNxt(), 0u);
  EXPECT_EQ(k.ReceiveQueueCount(), 0u);
  EXPECT_EQ(k.RemoteWnd(), kWndRcv);  // no window taken from ignored input
  k.Update(1200);
  EXPECT_TRUE(cap.datagrams.empty()) << "ignored input must not be acknowledged";

  EXPECT_TRUE(Feed(k, good));
  EXPECT_EQ(k.RcvNxt(), 1u);
}

TEST(KcpInput, PushIsAnsweredWithAckCarryingSnTsUnaAndFreeWindow) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  k.SetWindowSize(0, 200);
  k.Update(5000);
  cap.Clear();
  // sn 0 and 1 complete two messages; sn 3 waits for sn 2.
  ASSERT_TRUE(Feed(
      k, Cat({Seg(kConv, kCmdPush, 0, 0, 64, 0, {'a'}, 4000), Seg(kConv, kCmdPush, 1, 0, 64, 0, {'b'}, 4001),
              Seg(kConv, kCmdPush, 3, 0, 64, 0, {'d'}, 4003)})));
  EXPECT_EQ(k.RemoteWnd(), 64u);
  k.Flush();
  auto segs = cap.Segments();
  ASSERT_EQ(segs.size(), 3u);
  uint32_t sns[] = {0, 1, 3};
  for (int i = 0; i < 3; ++i) {
    const auto& h = segs[i].first;
    EXPECT_EQ(h.conv, kConv);
    EXPECT_EQ(h.cmd, kCmdAck);
    EXPECT_EQ(h.sn, sns[i]);
    EXPECT_EQ(h.ts, 4000u + sns[i]);  // echoed for the peer's round-trip time
    EXPECT_EQ(h.una, 2u);             // next expected sequence number
    EXPECT_EQ(h.wnd, 200u - 2u);      // two messages wait in the receive queue
    EXPECT_EQ(h.len, 0u);
  }
  EXPECT_EQ(cap.datagrams.size(), 1u) << "acks share one datagram";
  EXPECT_EQ(DeliverAll(k), (std::vector<Bytes>{{'a'}, {'b'}}));
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdPush, 2, 0, 64, 0, {'c'})));
  EXPECT_EQ(DeliverAll(k), (std::vector<Bytes>{{'c'}, {'d'}}));
  // A segment already delivered is acknowledged again but not delivered twice.
  k.Flush();
  cap.Clear();
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdPush, 1, 0, 64, 0, {'b'})));
  EXPECT_TRUE(DeliverAll(k).empty());
  k.Flush();
  ASSERT_EQ(cap.Segments().size(), 1u);
  EXPECT_EQ(cap.Segments()[0].first.sn, 1u);
  EXPECT_EQ(cap.Segments()[0].first.una, 4u);
}

TEST(KcpInput, AckAndUnaRemoveFromSendBuffer) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  ClientSettings(k);
  uint8_t x = 1;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(k.Send(&x, 1), KcpProtocol::SendResult::Ok);
  k.Update(100);
  ASSERT_EQ(k.SendBufferCount(), 5u);
  auto segs = cap.Segments();
  ASSERT_EQ(segs.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(segs[i].first.cmd, kCmdPush);
    EXPECT_EQ(segs[i].first.sn, i);
    EXPECT_EQ(segs[i].first.ts, 100u);
  }
  // Selective ack of sn 2: only that segment goes, una stays at 0.
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdAck, 2, 0, 128, 0, {}, 100)));
  EXPECT_EQ(k.SendBufferCount(), 4u);
  EXPECT_EQ(k.SndUna(), 0u);
  // una 2 (carried by any segment) removes sn 0 and 1.
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdWins, 0, 2)));
  EXPECT_EQ(k.SendBufferCount(), 2u);
  EXPECT_EQ(k.SndUna(), 3u);
  // An ack outside [una, nxt) changes nothing.
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdAck, 9, 0)));
  EXPECT_EQ(k.SendBufferCount(), 2u);
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdAck, 0, 5)));
  EXPECT_EQ(k.SendBufferCount(), 0u);
  EXPECT_EQ(k.SndUna(), 5u);
  EXPECT_EQ(k.WaitSend(), 0u);
}

TEST(KcpFlush, FastResendAfterOneSkippingAck) {
  for (int resend : {1, 0}) {
    Capture cap;
    KcpProtocol k(kConv, cap.Fn());
    k.SetNoDelay(2, 2, resend, 1);
    k.SetMinRto(10);
    uint8_t x = 7;
    for (int i = 0; i < 3; ++i) k.Send(&x, 1);
    k.Update(1000);  // sends sn 0..2, retransmission time-out 200 ms away
    cap.Clear();
    // The ack of sn 1 skips sn 0 once.
    ASSERT_TRUE(Feed(k, Seg(kConv, kCmdAck, 1, 0, 128, 0, {}, 1000)));
    k.Update(1002);
    auto segs = cap.Segments();
    std::vector<uint32_t> pushed;
    for (auto& [h, d] : segs)
      if (h.cmd == kCmdPush) pushed.push_back(h.sn);
    if (resend == 1) {
      EXPECT_EQ(pushed, std::vector<uint32_t>{0}) << "sn 0 resent at once, sn 2 was not skipped";
    } else {
      EXPECT_TRUE(pushed.empty()) << "without fast resend nothing goes before the time-out";
    }
  }
}

TEST(KcpFlush, RetransmitsOnTimeOutWithNoDelayBackoff) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  ClientSettings(k);
  uint8_t x = 7;
  k.Send(&x, 1);
  k.Update(0);
  ASSERT_EQ(cap.Segments().size(), 1u);
  uint32_t rto = k.Rto();  // 200 before any measurement
  cap.Clear();
  k.Update(rto - 2);
  EXPECT_TRUE(cap.datagrams.empty());
  k.Update(rto);
  ASSERT_EQ(cap.Segments().size(), 1u);
  EXPECT_EQ(cap.Segments()[0].first.sn, 0u);
  EXPECT_EQ(cap.Segments()[0].first.ts, rto);
  // nodelay 2 grows the time-out by half the current estimate.
  cap.Clear();
  k.Update(rto + rto + rto / 2 - 2);
  EXPECT_TRUE(cap.datagrams.empty());
  k.Update(rto + rto + rto / 2);
  EXPECT_EQ(cap.Segments().size(), 1u);
}

TEST(KcpFlush, AbsurdEchoedTimeStampsClampTheRtoWithoutOverflow) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  ClientSettings(k);
  uint8_t x = 7;
  for (int i = 0; i < 3; ++i) k.Send(&x, 1);
  k.Update(0);
  k.Update(0x7FFFFFF0u);
  // Two round-trip samples of almost 2^31 ms: the second overflowed 32-bit arithmetic.
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdAck, 0, 0, 128, 0, {}, 0)));
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdAck, 1, 0, 128, 0, {}, 0)));
  EXPECT_EQ(k.Rto(), kRtoMax);
}

TEST(KcpSend, FragmentsCountDownAndLimitIs127) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  const std::size_t mss = k.Mss();
  EXPECT_EQ(mss, 1376u);
  Bytes big(mss * 127);
  EXPECT_EQ(k.Send(big.data(), big.size() + 1), KcpProtocol::SendResult::TooManyFragments);
  EXPECT_EQ(k.SendQueueCount(), 0u);
  EXPECT_EQ(k.Send(big.data(), big.size()), KcpProtocol::SendResult::Ok);
  EXPECT_EQ(k.SendQueueCount(), 127u);
  EXPECT_EQ(k.Send(nullptr, 0), KcpProtocol::SendResult::Ok);  // an empty message is one segment
  EXPECT_EQ(k.SendQueueCount(), 128u);

  KcpProtocol small(kConv, cap.Fn());
  small.SetNoDelay(-1, 0, -1, 1);  // the congestion window would hold the first flush back
  Bytes three(mss * 2 + 5, 0xAB);
  small.Send(three.data(), three.size());
  small.Update(0);
  auto segs = cap.Segments();
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_EQ(segs[0].first.frg, 2);
  EXPECT_EQ(segs[1].first.frg, 1);
  EXPECT_EQ(segs[2].first.frg, 0);
  EXPECT_EQ(segs[0].first.len, mss);
  EXPECT_EQ(segs[2].first.len, 5u);
}

TEST(KcpFlush, BatchesAtMost64DatagramsWithinMtu) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  ClientSettings(k);
  k.SetWindowSize(1024, 0);
  ASSERT_TRUE(k.SetMtu(600));
  Bytes msg(20000, 1);
  for (int i = 0; i < 10; ++i) k.Send(msg.data(), msg.size());  // 10 x 35 segments
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdWins, 0, 0, 300)));
  // 300 segments fit the peer's window, one per datagram (24 + 576 = 600 bytes) plus nothing else.
  k.Update(0);
  EXPECT_EQ(cap.batches, (std::vector<std::size_t>{64, 64, 64, 64, 44}));
  for (const auto& d : cap.datagrams) EXPECT_LE(d.size(), 600u);
  EXPECT_EQ(cap.Segments().size(), 300u);
  EXPECT_EQ(k.SendQueueCount(), 50u);
}

TEST(KcpDeliver, HandsEachSegmentInOrderOnlyWhenComplete) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdPush, 0, 0, 128, 2, {1, 2})));
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdPush, 2, 0, 128, 0, {5})));
  std::vector<Bytes> pieces;
  auto sink = [&](const uint8_t* p, std::size_t n) { pieces.emplace_back(p, p + n); };
  EXPECT_EQ(k.PeekSize(), -1);
  EXPECT_FALSE(k.Deliver(sink));
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdPush, 1, 0, 128, 1, {3, 4})));
  EXPECT_EQ(k.PeekSize(), 5);
  EXPECT_TRUE(k.Deliver(sink));
  EXPECT_EQ(pieces, (std::vector<Bytes>{{1, 2}, {3, 4}, {5}}));
  EXPECT_FALSE(k.Deliver(sink));
}

TEST(KcpWindow, FullReceiveQueueReportsZeroThenTellsWhenReopened) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  k.Update(0);
  for (uint32_t sn = 0; sn < 130; ++sn) Feed(k, Seg(kConv, kCmdPush, sn, 0, 128, 0, {1}));
  EXPECT_EQ(k.ReceiveQueueCount(), 128u);
  cap.Clear();
  k.Flush();
  auto segs = cap.Segments();
  ASSERT_FALSE(segs.empty());
  EXPECT_EQ(segs.back().first.wnd, 0u);
  EXPECT_EQ(segs.back().first.una, 128u);
  // sn 128 and 129 wait in the receive buffer until the queue has room.
  EXPECT_EQ(segs.size(), 130u);
  EXPECT_EQ(k.ReceiveBufferCount(), 2u);
  ASSERT_EQ(DeliverAll(k).size(), 130u);
  cap.Clear();
  k.Flush();
  segs = cap.Segments();
  ASSERT_EQ(segs.size(), 1u);
  EXPECT_EQ(segs[0].first.cmd, kCmdWins);
  EXPECT_EQ(segs[0].first.wnd, 128u);
}

// While the peer's window stays at zero it is probed 7000 ms after the first flush that sees it, then
// at gaps growing by half up to 120000 ms; an open window ends the probing and resets the timer.
TEST(KcpWindow, ProbeGapsGrowByHalfUpTo120s) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  k.SetNoDelay(2, 1, 1, 1);  // a flush every millisecond, so each probe time is met exactly
  k.Update(0);
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdWins, 0, 0, 0)));
  cap.Clear();
  auto probesUntil = [&](uint32_t from, uint32_t to) {
    std::vector<uint32_t> times;
    for (uint32_t t = from; t <= to; ++t) {
      cap.Clear();
      k.Update(t);
      for (auto& [h, d] : cap.Segments())
        if (h.cmd == kCmdWask) times.push_back(t);
    }
    return times;
  };
  // Armed at 1; then 7000, 10500, 15750, 23625, 35437, 53155, 79732, 119598, 120000, 120000 apart.
  std::vector<uint32_t> want{7001, 17501, 33251, 56876, 92313, 145468, 225200, 344798, 464798, 584798};
  EXPECT_EQ(probesUntil(1, 600000), want);

  // The peer's ask is answered with our window.
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdWask, 0, 0, 128)));
  cap.Clear();
  k.Flush();
  ASSERT_EQ(cap.Segments().size(), 1u);
  EXPECT_EQ(cap.Segments()[0].first.cmd, kCmdWins);
  EXPECT_TRUE(probesUntil(600001, 610000).empty());
  ASSERT_TRUE(Feed(k, Seg(kConv, kCmdWins, 0, 0, 0)));
  EXPECT_EQ(probesUntil(610001, 620000), std::vector<uint32_t>{617001});
}

TEST(KcpTimer, FlushesEveryIntervalAndResetsOnClockJump) {
  Capture cap;
  KcpProtocol k(kConv, cap.Fn());
  ClientSettings(k);
  int flushes = 0;
  // Count flushes by the acks they carry: one pending push per turn.
  for (uint32_t t = 1000, sn = 0; t < 1020; ++t) {
    if (k.ReceiveQueueCount() == 0 && cap.datagrams.size() == static_cast<std::size_t>(flushes))
      Feed(k, Seg(kConv, kCmdPush, sn++, 0, 128, 0, {1}));
    DeliverAll(k);
    std::size_t before = cap.datagrams.size();
    k.Update(t);
    if (cap.datagrams.size() > before) ++flushes;
  }
  EXPECT_EQ(flushes, 10);  // every 2 ms over 20 ms
  // A jump of 10 s or more does not replay the missed turns.
  cap.Clear();
  Feed(k, Seg(kConv, kCmdPush, 100, 0, 128, 0, {1}));
  k.Update(1020 + 60000);
  EXPECT_EQ(cap.batches.size(), 1u);
  Feed(k, Seg(kConv, kCmdPush, 101, 0, 128, 0, {1}));
  k.Update(1020 + 60001);
  EXPECT_EQ(cap.batches.size(), 1u);
  k.Update(1020 + 60002);
  EXPECT_EQ(cap.batches.size(), 2u);
  // So does a step back of 10 s or more; a shorter one waits for the flush time.
  const uint32_t due = 1020 + 60004;
  Feed(k, Seg(kConv, kCmdPush, 102, 0, 128, 0, {1}));
  k.Update(due - 9999);
  EXPECT_EQ(cap.batches.size(), 2u);
  k.Update(due - 10000);
  EXPECT_EQ(cap.batches.size(), 3u);
}

// A slow reader fills the receive window again and again; the one datagram that reopens it is
// often lost on this link. Delivery must go on without the sender's long probe waits.
TEST(KcpLink, LostWindowUpdatesDoNotStallASlowReader) {
  kcptest::KcpStation station(kConv);
  kcptest::UdpRelay relay(station.Port(), {.lossPercent = 20, .seed = 7});
  uint16_t port = 0;
  const int fd = kcptest::BoundUdp(&port);
  sockaddr_in front{};
  front.sin_family = AF_INET;
  front.sin_addr.s_addr = kcptest::Loopback();
  front.sin_port = htons(relay.FrontPort());
  KcpProtocol client(kConv, [&](std::span<const Datagram> b) {
    for (auto d : b) kcptest::SendTo(fd, d.data(), d.size(), front);
  });
  ClientSettings(client);
  client.SetWindowSize(128, 128);
  const uint8_t hello = 11;
  client.Send(&hello, 1);

  std::mt19937 rng(3);
  std::vector<Bytes> sent(1500, Bytes(1000));
  for (auto& m : sent)
    for (auto& c : m) c = static_cast<uint8_t>(rng());
  std::vector<Bytes> got;
  std::size_t next = 0;
  Bytes buf(65536);
  const int64_t start = kcptest::NowUs();
  int64_t lastDelivery = start, lastRead = start, worstGap = 0;
  while (got.size() < sent.size() && kcptest::NowUs() - start < 30000000 && worstGap < 2000000) {
    relay.Pump();
    station.Pump();
    while (station.HavePeer() && next < sent.size() && station.Kcp().WaitSend() < 2048)
      station.Kcp().Send(sent[next].data(), sent[next].size()), ++next;
    sockaddr_in from{};
    for (long n; (n = kcptest::ReceiveFrom(fd, buf.data(), buf.size(), from)) > 0;)
      client.Input(buf.data(), static_cast<std::size_t>(n));
    const int64_t now = kcptest::NowUs();
    client.Update(static_cast<uint32_t>(now / 1000));
    if (now - lastRead >= 10000) {  // eight messages every 10 ms
      lastRead = now;
      for (int i = 0; i < 8; ++i) {
        Bytes m;
        if (!client.Deliver([&](const uint8_t* p, std::size_t n) { m.insert(m.end(), p, p + n); })) break;
        got.push_back(std::move(m));
        worstGap = std::max(worstGap, now - lastDelivery);
        lastDelivery = now;
      }
    }
    if (now - lastDelivery > worstGap && next > 0) worstGap = now - lastDelivery;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  kcptest::CloseUdp(fd);
  EXPECT_GT(relay.Dropped(), 0u);
  EXPECT_LT(worstGap, 1000000) << "longest pause in delivery, us";
  ASSERT_EQ(got.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(got[i], sent[i]) << "message " << i;
}
