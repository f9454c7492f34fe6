#pragma once
// KCP control block: the published ARQ protocol (24-byte segments, selective acks, una, fast resend,
// windows, RTO) with the reference implementation's constants, so any standard peer interoperates.
// Two client behaviours differ from the reference: flush hands its datagrams to the output in batches
// of up to 64, and a received message is delivered segment by segment instead of being copied into
// one caller buffer.
//
// No clock and no socket inside: the caller passes the current time to Update(), which makes the
// block testable without sleeping.
//
// Input leniencies: a datagram is checked as a whole before any of it is used. A foreign
// conversation, an unknown command, a truncated header (also after complete segments), a length
// beyond the datagram, or a push whose fragment count could never fit the receive window makes the
// whole datagram ignored.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace kcp {

constexpr uint32_t kOverhead = 24;
constexpr uint8_t kCmdPush = 81;
constexpr uint8_t kCmdAck = 82;
constexpr uint8_t kCmdWask = 83;  // window probe: ask
constexpr uint8_t kCmdWins = 84;  // window probe: tell
constexpr uint32_t kAskSend = 1;
constexpr uint32_t kAskTell = 2;
constexpr uint32_t kRtoNoDelay = 30;
constexpr uint32_t kRtoMin = 100;
constexpr uint32_t kRtoDefault = 200;
constexpr uint32_t kRtoMax = 60000;
constexpr uint32_t kWndSnd = 32;
constexpr uint32_t kWndRcv = 128;  // also the floor of the receive window and the fragment limit
constexpr uint32_t kMtuDefault = 1400;
constexpr uint32_t kMtuMin = 50;
constexpr uint32_t kIntervalDefault = 100;
constexpr uint32_t kDeadLink = 20;
constexpr uint32_t kThreshInit = 2;
constexpr uint32_t kThreshMin = 2;
constexpr uint32_t kProbeInit = 7000;
constexpr uint32_t kProbeLimit = 120000;
constexpr int kFastAckLimit = 5;
// A flush hands over at most this many datagrams per output call.
constexpr std::size_t kMaxBatch = 64;
// Timer resets when the flush time is this far from the clock (either way).
constexpr int32_t kClockJumpMs = 10000;
// After our receive window reopens from full, the window tell is repeated this often until new data
// arrives or the span ends: a lost tell would otherwise leave the sender waiting for its 7 s probe.
constexpr uint32_t kTellRepeatMs = 25;
constexpr uint32_t kTellSpanMs = 1000;

// Signed distance between two 32-bit wrapping counters (sequence numbers or milliseconds).
inline int32_t TimeDiff(uint32_t later, uint32_t earlier) {
  return static_cast<int32_t>(later - earlier);
}

struct SegmentHeader {
  uint32_t conv = 0;
  uint8_t cmd = 0;
  uint8_t frg = 0;
  uint16_t wnd = 0;
  uint32_t ts = 0;
  uint32_t sn = 0;
  uint32_t una = 0;
  uint32_t len = 0;
};

// Writes the 24-byte little-endian header at out.
void EncodeHeader(const SegmentHeader& h, uint8_t* out);
// Reads a header from at least 24 bytes at in.
SegmentHeader DecodeHeader(const uint8_t* in);

using Datagram = std::span<const uint8_t>;
// Receives one batch of datagrams (1..kMaxBatch) produced by a flush.
using OutputFn = std::function<void(std::span<const Datagram>)>;
// Receives the data of one segment of a delivered message.
using SegmentSink = std::function<void(const uint8_t* data, std::size_t size)>;

class KcpProtocol {
 public:
  enum class SendResult { Ok, TooManyFragments };

  KcpProtocol(uint32_t conv, OutputFn output);
  KcpProtocol(const KcpProtocol&) = delete;
  KcpProtocol& operator=(const KcpProtocol&) = delete;

  // Queues one message, cut into MSS-sized fragments; messages needing 128 or more are refused.
  SendResult Send(const uint8_t* data, std::size_t size);
  // Processes one datagram; false when it was ignored as foreign or malformed.
  bool Input(const uint8_t* data, std::size_t size);
  // Whether Input would take the datagram, without taking it.
  bool Validate(const uint8_t* data, std::size_t size) const;
  // One timer turn with the caller's millisecond clock: flushes when the flush time is reached.
  void Update(uint32_t current);
  // Sends pending acks, probes and due data segments now.
  void Flush();
  // Hands the next complete message to sink one segment at a time; false when none is complete.
  bool Deliver(const SegmentSink& sink);
  // Size of the next complete message, or -1.
  int PeekSize() const;

  // false (and the MTU unchanged) below 50 bytes.
  bool SetMtu(uint32_t mtu);
  // 0 leaves a side unchanged; the receive window is never below 128.
  void SetWindowSize(uint32_t sndWnd, uint32_t rcvWnd);
  // nodelay < 0, interval == 0, resend < 0, nc < 0 leave that setting unchanged. The interval is
  // taken as given (at least 1 ms), not clamped to the reference's 10 ms floor.
  void SetNoDelay(int nodelay, uint32_t interval, int resend, int nc);
  void SetMinRto(uint32_t minRto) { rxMinRto_ = minRto; }

  uint32_t Conv() const { return conv_; }
  uint32_t Mtu() const { return mtu_; }
  uint32_t Mss() const { return mss_; }
  uint32_t SndWnd() const { return sndWnd_; }
  uint32_t RcvWnd() const { return rcvWnd_; }
  uint32_t RemoteWnd() const { return rmtWnd_; }
  uint32_t Interval() const { return interval_; }
  uint32_t MinRto() const { return rxMinRto_; }
  uint32_t Rto() const { return rxRto_; }
  int NoDelay() const { return nodelay_; }
  int FastResend() const { return fastresend_; }
  bool CongestionWindowOff() const { return nocwnd_; }
  uint32_t SndUna() const { return sndUna_; }
  uint32_t SndNxt() const { return sndNxt_; }
  uint32_t RcvNxt() const { return rcvNxt_; }
  std::size_t SendBufferCount() const { return sndBuf_.size(); }
  std::size_t SendQueueCount() const { return sndQueue_.size(); }
  std::size_t ReceiveQueueCount() const { return rcvQueue_.size(); }
  std::size_t ReceiveBufferCount() const { return rcvBuf_.size(); }
  // Segments not yet acknowledged, queued or in flight.
  std::size_t WaitSend() const { return sndBuf_.size() + sndQueue_.size(); }
  // A segment was sent kDeadLink times without an ack.
  bool DeadLink() const { return deadLink_; }

 private:
  struct Segment {
    SegmentHeader h;
    uint32_t resendts = 0;
    uint32_t rto = 0;
    uint32_t fastack = 0;
    uint32_t xmit = 0;
    std::vector<uint8_t> data;
  };

  void UpdateAck(int32_t rtt);
  void ShrinkBuf();
  void ParseAck(uint32_t sn);
  void ParseUna(uint32_t una);
  void ParseFastAck(uint32_t sn, uint32_t ts);
  void ParseData(Segment&& seg);
  void MoveToReceiveQueue();
  uint16_t WndUnused() const;
  // Reserves room for `need` bytes in the current datagram, starting a new one (and handing a full
  // batch to the output) when it would exceed the MTU.
  uint8_t* Reserve(std::size_t need);
  void AppendSegment(const SegmentHeader& h, const uint8_t* data);
  void OutputBatch();

  uint32_t conv_;
  OutputFn output_;
  uint32_t mtu_ = kMtuDefault;
  uint32_t mss_ = kMtuDefault - kOverhead;
  uint32_t sndUna_ = 0, sndNxt_ = 0, rcvNxt_ = 0;
  uint32_t ssthresh_ = kThreshInit;
  int32_t rxRttVal_ = 0, rxSrtt_ = 0;
  uint32_t rxRto_ = kRtoDefault, rxMinRto_ = kRtoMin;
  uint32_t sndWnd_ = kWndSnd, rcvWnd_ = kWndRcv, rmtWnd_ = kWndRcv, cwnd_ = 0, incr_ = 0;
  uint32_t probe_ = 0;
  uint32_t current_ = 0, interval_ = kIntervalDefault, tsFlush_ = kIntervalDefault;
  uint32_t tsProbe_ = 0, probeWait_ = 0;
  // Repeated window tells after a reopen: active until tellUntil_ or a push at or past tellSn_.
  bool telling_ = false;
  uint32_t tellUntil_ = 0, nextTell_ = 0, tellSn_ = 0;
  uint32_t rcvMaxSn_ = 0;  // one past the highest sequence number received
  bool updated_ = false;
  int nodelay_ = 0;
  int fastresend_ = 0;
  bool nocwnd_ = false;
  bool deadLink_ = false;

  std::deque<Segment> sndQueue_, sndBuf_, rcvQueue_, rcvBuf_;
  std::vector<std::pair<uint32_t, uint32_t>> acks_;  // (sn, ts) to acknowledge at the next flush

  // Batch being filled by a flush: kMaxBatch buffers of (MTU + 24) * 3 bytes.
  std::vector<std::vector<uint8_t>> batchBuf_;
  std::vector<Datagram> batch_;
  std::size_t curLen_ = 0;  // bytes in the datagram being filled (batchBuf_[batch_.size()])
};

}  // namespace kcp
