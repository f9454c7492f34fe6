#include "sov/kcp/KcpProtocol.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kcp {

namespace {

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void EncodeHeader(const SegmentHeader& h, uint8_t* out) {
  Put32(out, h.conv);
  out[4] = h.cmd;
  out[5] = h.frg;
  out[6] = static_cast<uint8_t>(h.wnd);
  out[7] = static_cast<uint8_t>(h.wnd >> 8);
  Put32(out + 8, h.ts);
  Put32(out + 12, h.sn);
  Put32(out + 16, h.una);
  Put32(out + 20, h.len);
}

SegmentHeader DecodeHeader(const uint8_t* in) {
  SegmentHeader h;
  h.conv = Get32(in);
  h.cmd = in[4];
  h.frg = in[5];
  h.wnd = static_cast<uint16_t>(in[6] | in[7] << 8);
  h.ts = Get32(in + 8);
  h.sn = Get32(in + 12);
  h.una = Get32(in + 16);
  h.len = Get32(in + 20);
  return h;
}

KcpProtocol::KcpProtocol(uint32_t conv, OutputFn output) : conv_(conv), output_(std::move(output)) {
  batchBuf_.resize(kMaxBatch);
  for (auto& b : batchBuf_) b.resize((mtu_ + kOverhead) * 3);
  batch_.reserve(kMaxBatch);
}

KcpProtocol::SendResult KcpProtocol::Send(const uint8_t* data, std::size_t size) {
  std::size_t count = size <= mss_ ? 1 : (size + mss_ - 1) / mss_;
  // The fragment number is one byte and the peer must be able to hold the whole message in its
  // receive window, hence the reference's limit.
  if (count >= kWndRcv) return SendResult::TooManyFragments;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t piece = std::min<std::size_t>(size, mss_);
    Segment seg;
    seg.data.assign(data, data + piece);
    seg.h.len = static_cast<uint32_t>(piece);
    seg.h.frg = static_cast<uint8_t>(count - i - 1);
    sndQueue_.push_back(std::move(seg));
    data += piece;
    size -= piece;
  }
  return SendResult::Ok;
}

bool KcpProtocol::Validate(const uint8_t* data, std::size_t size) const {
  if (data == nullptr || size < kOverhead) return false;
  while (size >= kOverhead) {
    SegmentHeader h = DecodeHeader(data);
    if (h.conv != conv_) return false;
    if (h.cmd != kCmdPush && h.cmd != kCmdAck && h.cmd != kCmdWask && h.cmd != kCmdWins) return false;
    if (h.len > size - kOverhead) return false;
    // A message of more fragments than the receive window could never be completed.
    if (h.cmd == kCmdPush && h.frg >= rcvWnd_) return false;
    data += kOverhead + h.len;
    size -= kOverhead + h.len;
  }
  // Leftover bytes are a cut-off segment header.
  return size == 0;
}

bool KcpProtocol::Input(const uint8_t* data, std::size_t size) {
  if (!Validate(data, size)) return false;
  uint32_t prevUna = sndUna_;
  bool haveAck = false;
  uint32_t maxack = 0, latestTs = 0;

  while (size >= kOverhead) {
    SegmentHeader h = DecodeHeader(data);
    data += kOverhead;
    size -= kOverhead;

    rmtWnd_ = h.wnd;
    ParseUna(h.una);
    ShrinkBuf();

    if (h.cmd == kCmdAck) {
      if (TimeDiff(current_, h.ts) >= 0) UpdateAck(TimeDiff(current_, h.ts));
      ParseAck(h.sn);
      ShrinkBuf();
      if (!haveAck) {
        haveAck = true;
        maxack = h.sn;
        latestTs = h.ts;
      } else if (TimeDiff(h.sn, maxack) > 0) {
        maxack = h.sn;
        latestTs = h.ts;
      }
    } else if (h.cmd == kCmdPush) {
      if (TimeDiff(h.sn + 1, rcvMaxSn_) > 0) rcvMaxSn_ = h.sn + 1;
      // Data the sender could only send after hearing of the open window: it has heard.
      if (telling_ && TimeDiff(h.sn, tellSn_) >= 0) telling_ = false;
      if (TimeDiff(h.sn, rcvNxt_ + rcvWnd_) < 0) {
        acks_.emplace_back(h.sn, h.ts);
        if (TimeDiff(h.sn, rcvNxt_) >= 0) {
          Segment seg;
          seg.h = h;
          seg.data.assign(data, data + h.len);
          ParseData(std::move(seg));
        }
      }
    } else if (h.cmd == kCmdWask) {
      probe_ |= kAskTell;
    }
    // kCmdWins only carries the window, taken above.
    data += h.len;
    size -= h.len;
  }

  if (haveAck) ParseFastAck(maxack, latestTs);

  if (TimeDiff(sndUna_, prevUna) > 0 && cwnd_ < rmtWnd_) {
    uint32_t mss = mss_;
    if (cwnd_ < ssthresh_) {
      ++cwnd_;
      incr_ += mss;
    } else {
      if (incr_ < mss) incr_ = mss;
      incr_ += (mss * mss) / incr_ + (mss / 16);
      if ((cwnd_ + 1) * mss <= incr_) cwnd_ = (incr_ + mss - 1) / (mss > 0 ? mss : 1);
    }
    if (cwnd_ > rmtWnd_) {
      cwnd_ = rmtWnd_;
      incr_ = rmtWnd_ * mss;
    }
  }
  return true;
}

void KcpProtocol::UpdateAck(int32_t rtt) {
  if (rxSrtt_ == 0) {
    rxSrtt_ = rtt;
    rxRttVal_ = rtt / 2;
  } else {
    // In 64 bits: a peer may echo time stamps that make rtt close to 2^31.
    int64_t delta = static_cast<int64_t>(rtt) - rxSrtt_;
    if (delta < 0) delta = -delta;
    rxRttVal_ = static_cast<int32_t>((3 * static_cast<int64_t>(rxRttVal_) + delta) / 4);
    rxSrtt_ = static_cast<int32_t>((7 * static_cast<int64_t>(rxSrtt_) + rtt) / 8);
    if (rxSrtt_ < 1) rxSrtt_ = 1;
  }
  int64_t rto =
      static_cast<int64_t>(rxSrtt_) + std::max<int64_t>(interval_, 4 * static_cast<int64_t>(rxRttVal_));
  rxRto_ = static_cast<uint32_t>(std::clamp<int64_t>(rto, rxMinRto_, kRtoMax));
}

void KcpProtocol::ShrinkBuf() {
  sndUna_ = sndBuf_.empty() ? sndNxt_ : sndBuf_.front().h.sn;
}

void KcpProtocol::ParseAck(uint32_t sn) {
  if (TimeDiff(sn, sndUna_) < 0 || TimeDiff(sn, sndNxt_) >= 0) return;
  for (auto it = sndBuf_.begin(); it != sndBuf_.end(); ++it) {
    if (it->h.sn == sn) {
      sndBuf_.erase(it);
      break;
    }
    if (TimeDiff(sn, it->h.sn) < 0) break;
  }
}

void KcpProtocol::ParseUna(uint32_t una) {
  while (!sndBuf_.empty() && TimeDiff(una, sndBuf_.front().h.sn) > 0) sndBuf_.pop_front();
}

void KcpProtocol::ParseFastAck(uint32_t sn, uint32_t /*ts*/) {
  if (TimeDiff(sn, sndUna_) < 0 || TimeDiff(sn, sndNxt_) >= 0) return;
  for (auto& seg : sndBuf_) {
    if (TimeDiff(sn, seg.h.sn) < 0) break;
    if (sn != seg.h.sn) ++seg.fastack;
  }
}

void KcpProtocol::ParseData(Segment&& seg) {
  uint32_t sn = seg.h.sn;
  if (TimeDiff(sn, rcvNxt_ + rcvWnd_) >= 0 || TimeDiff(sn, rcvNxt_) < 0) return;
  // Search from the back: segments mostly arrive in order.
  auto it = rcvBuf_.end();
  while (it != rcvBuf_.begin()) {
    auto prev = std::prev(it);
    if (prev->h.sn == sn) return;  // duplicate
    if (TimeDiff(sn, prev->h.sn) > 0) break;
    it = prev;
  }
  rcvBuf_.insert(it, std::move(seg));
  MoveToReceiveQueue();
}

void KcpProtocol::MoveToReceiveQueue() {
  while (!rcvBuf_.empty() && rcvBuf_.front().h.sn == rcvNxt_ && rcvQueue_.size() < rcvWnd_) {
    rcvQueue_.push_back(std::move(rcvBuf_.front()));
    rcvBuf_.pop_front();
    ++rcvNxt_;
  }
}

int KcpProtocol::PeekSize() const {
  if (rcvQueue_.empty()) return -1;
  std::size_t need = static_cast<std::size_t>(rcvQueue_.front().h.frg) + 1;
  if (rcvQueue_.size() < need) return -1;
  std::size_t total = 0;
  for (std::size_t i = 0; i < need; ++i) {
    total += rcvQueue_[i].data.size();
    if (rcvQueue_[i].h.frg == 0) break;
  }
  return static_cast<int>(total);
}

bool KcpProtocol::Deliver(const SegmentSink& sink) {
  if (rcvQueue_.empty()) return false;
  std::size_t need = static_cast<std::size_t>(rcvQueue_.front().h.frg) + 1;
  if (rcvQueue_.size() < need) return false;
  bool recover = rcvQueue_.size() >= rcvWnd_;

  // Each segment leaves the queue before the sink sees it, so a sink that throws leaves the block
  // consistent.
  for (std::size_t i = 0; i < need; ++i) {
    Segment seg = std::move(rcvQueue_.front());
    rcvQueue_.pop_front();
    sink(seg.data.data(), seg.data.size());
    if (seg.h.frg == 0) break;
  }

  MoveToReceiveQueue();
  // The window was full and has opened again: tell the peer at the next flush.
  if (recover && rcvQueue_.size() < rcvWnd_) {
    probe_ |= kAskTell;
    telling_ = true;
    tellUntil_ = current_ + kTellSpanMs;
    nextTell_ = current_ + kTellRepeatMs;
    tellSn_ = TimeDiff(rcvMaxSn_, rcvNxt_) > 0 ? rcvMaxSn_ : rcvNxt_;
  }
  return true;
}

uint16_t KcpProtocol::WndUnused() const {
  if (rcvQueue_.size() < rcvWnd_)
    return static_cast<uint16_t>(std::min<std::size_t>(rcvWnd_ - rcvQueue_.size(), 0xFFFF));
  return 0;
}

uint8_t* KcpProtocol::Reserve(std::size_t need) {
  if (curLen_ > 0 && curLen_ + need > mtu_) {
    batch_.emplace_back(batchBuf_[batch_.size()].data(), curLen_);
    curLen_ = 0;
    if (batch_.size() == kMaxBatch) OutputBatch();
  }
  auto& buf = batchBuf_[batch_.size()];
  if (buf.size() < curLen_ + need) buf.resize(curLen_ + need);
  uint8_t* p = buf.data() + curLen_;
  curLen_ += need;
  return p;
}

void KcpProtocol::AppendSegment(const SegmentHeader& h, const uint8_t* data) {
  uint8_t* p = Reserve(kOverhead + h.len);
  EncodeHeader(h, p);
  if (h.len > 0) std::memcpy(p + kOverhead, data, h.len);
}

void KcpProtocol::OutputBatch() {
  struct Clear {
    KcpProtocol* self;
    ~Clear() {
      self->batch_.clear();
      self->curLen_ = 0;
    }
  } clear{this};
  if (!batch_.empty() && output_) output_(std::span<const Datagram>(batch_));
}

void KcpProtocol::Flush() {
  if (!updated_) return;
  const uint32_t current = current_;

  SegmentHeader seg;
  seg.conv = conv_;
  seg.cmd = kCmdAck;
  seg.wnd = WndUnused();
  seg.una = rcvNxt_;

  for (const auto& [sn, ts] : acks_) {
    seg.sn = sn;
    seg.ts = ts;
    AppendSegment(seg, nullptr);
  }
  acks_.clear();
  seg.sn = 0;
  seg.ts = 0;

  // Probe the peer's window while it reports zero.
  if (rmtWnd_ == 0) {
    if (probeWait_ == 0) {
      probeWait_ = kProbeInit;
      tsProbe_ = current + probeWait_;
    } else if (TimeDiff(current, tsProbe_) >= 0) {
      if (probeWait_ < kProbeInit) probeWait_ = kProbeInit;
      probeWait_ += probeWait_ / 2;
      if (probeWait_ > kProbeLimit) probeWait_ = kProbeLimit;
      tsProbe_ = current + probeWait_;
      probe_ |= kAskSend;
    }
  } else {
    tsProbe_ = 0;
    probeWait_ = 0;
  }
  if (telling_) {
    if (TimeDiff(current, tellUntil_) >= 0) {
      telling_ = false;
    } else if (TimeDiff(current, nextTell_) >= 0) {
      probe_ |= kAskTell;
      nextTell_ = current + kTellRepeatMs;
    }
  }
  if (probe_ & kAskSend) {
    seg.cmd = kCmdWask;
    AppendSegment(seg, nullptr);
  }
  if (probe_ & kAskTell) {
    seg.cmd = kCmdWins;
    AppendSegment(seg, nullptr);
  }
  probe_ = 0;

  uint32_t cwnd = std::min(sndWnd_, rmtWnd_);
  if (!nocwnd_) cwnd = std::min(cwnd_, cwnd);

  while (TimeDiff(sndNxt_, sndUna_ + cwnd) < 0 && !sndQueue_.empty()) {
    Segment s = std::move(sndQueue_.front());
    sndQueue_.pop_front();
    s.h.conv = conv_;
    s.h.cmd = kCmdPush;
    s.h.wnd = seg.wnd;
    s.h.ts = current;
    s.h.sn = sndNxt_++;
    s.h.una = rcvNxt_;
    s.resendts = current;
    s.rto = rxRto_;
    s.fastack = 0;
    s.xmit = 0;
    sndBuf_.push_back(std::move(s));
  }

  const uint32_t resent = fastresend_ > 0 ? static_cast<uint32_t>(fastresend_) : 0xFFFFFFFFu;
  const uint32_t rtomin = nodelay_ == 0 ? (rxRto_ >> 3) : 0;
  bool change = false, lost = false;

  for (auto& s : sndBuf_) {
    bool needsend = false;
    if (s.xmit == 0) {
      needsend = true;
      ++s.xmit;
      s.rto = rxRto_;
      s.resendts = current + s.rto + rtomin;
    } else if (TimeDiff(current, s.resendts) >= 0) {
      needsend = true;
      ++s.xmit;
      if (nodelay_ == 0) {
        s.rto += std::max(s.rto, rxRto_);
      } else {
        uint32_t step = nodelay_ < 2 ? s.rto : rxRto_;
        s.rto += step / 2;
      }
      s.resendts = current + s.rto;
      lost = true;
    } else if (s.fastack >= resent) {
      if (static_cast<int>(s.xmit) <= kFastAckLimit) {
        needsend = true;
        ++s.xmit;
        s.fastack = 0;
        s.resendts = current + s.rto;
        change = true;
      }
    }
    if (needsend) {
      s.h.ts = current;
      s.h.wnd = seg.wnd;
      s.h.una = rcvNxt_;
      AppendSegment(s.h, s.data.data());
      if (s.xmit >= kDeadLink) deadLink_ = true;
    }
  }

  if (curLen_ > 0) {
    batch_.emplace_back(batchBuf_[batch_.size()].data(), curLen_);
    curLen_ = 0;
  }
  OutputBatch();

  if (change) {
    uint32_t inflight = sndNxt_ - sndUna_;
    ssthresh_ = std::max(inflight / 2, kThreshMin);
    cwnd_ = ssthresh_ + resent;
    incr_ = cwnd_ * mss_;
  }
  if (lost) {
    ssthresh_ = std::max(cwnd / 2, kThreshMin);
    cwnd_ = 1;
    incr_ = mss_;
  }
  if (cwnd_ < 1) {
    cwnd_ = 1;
    incr_ = mss_;
  }
}

void KcpProtocol::Update(uint32_t current) {
  current_ = current;
  if (!updated_) {
    updated_ = true;
    tsFlush_ = current_;
  }
  int32_t slap = TimeDiff(current_, tsFlush_);
  if (slap >= kClockJumpMs || slap <= -kClockJumpMs) {
    tsFlush_ = current_;
    slap = 0;
  }
  if (slap >= 0) {
    tsFlush_ += interval_;
    if (TimeDiff(current_, tsFlush_) >= 0) tsFlush_ = current_ + interval_;
    Flush();
  }
}

bool KcpProtocol::SetMtu(uint32_t mtu) {
  if (mtu < kMtuMin || mtu < kOverhead) return false;
  mtu_ = mtu;
  mss_ = mtu - kOverhead;
  for (auto& b : batchBuf_) b.assign((mtu_ + kOverhead) * 3, 0);
  return true;
}

void KcpProtocol::SetWindowSize(uint32_t sndWnd, uint32_t rcvWnd) {
  if (sndWnd > 0) sndWnd_ = sndWnd;
  if (rcvWnd > 0) rcvWnd_ = std::max(rcvWnd, kWndRcv);
}

void KcpProtocol::SetNoDelay(int nodelay, uint32_t interval, int resend, int nc) {
  if (nodelay >= 0) {
    nodelay_ = nodelay;
    rxMinRto_ = nodelay ? kRtoNoDelay : kRtoMin;
  }
  if (interval > 0) interval_ = std::min<uint32_t>(interval, 5000);
  if (resend >= 0) fastresend_ = resend;
  if (nc >= 0) nocwnd_ = nc != 0;
}

}  // namespace kcp
