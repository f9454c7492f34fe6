#include "sov/kcp/KCPTransport.h"

#include <algorithm>
#include <cerrno>

#include "platform/Event.h"
#include "platform/HPCWrapper.h"
#include "platform/Socket.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace {

constexpr std::size_t kRecvSlotSize = 65536;
constexpr std::size_t kRecvSlots = 16;
constexpr uint32_t kMaxUdpPayload = 65507;

int64_t NowMs() {
  return HPCWrapper::NowMs();
}

[[noreturn]] void ThrowTransport(int err, int line) {
  if (err == platform::kSocketInterrupted) throw InterruptException(ZEP_SOURCE, line);
  throw TransportException(err, ZEP_SOURCE, line);
}

}  // namespace

KCPTransportBase::KCPTransportBase(uint32_t stationAddr, uint16_t port,
                                   const proto::UDP_CHANNEL_PARAMS& params, platform::Event* interrupt)
    : params_(params), interrupt_(interrupt) {
  // Connected: plain sends go to the station and only its datagrams are received. Large
  // buffers absorb bursts of big video frames.
  if (int e = platform::OpenConnectedUdp({stationAddr, port}, kKcpSocketBufferSize, socket_))
    ThrowTransport(e, __LINE__);
  if (int e = platform::LocalPort(socket_.Get(), localPort_)) ThrowTransport(e, __LINE__);

  uint32_t conv = params_.conv;  // the record is packed: no references into it
  kcp_ = std::make_unique<kcp::KcpProtocol>(conv, [this](std::span<const kcp::Datagram> b) { Output(b); });
  // The record's values are signed in the configuration; anything below 1 means "not given".
  auto given = [](uint32_t v) { return static_cast<int32_t>(v) > 0; };
  if (given(params_.sliceSize)) sliceSize_ = params_.sliceSize;
  if (params_.packetSize > kMaxUdpPayload || !kcp_->SetMtu(params_.packetSize))
    LOGW_(this) << "packet size " << static_cast<int32_t>(params_.packetSize) << " refused, MTU stays "
                << kcp_->Mtu();
  // The record names the station's side, so the windows are taken crosswise.
  kcp_->SetWindowSize(given(params_.recvWnd) ? params_.recvWnd : 0,
                      given(params_.sendWnd) ? params_.sendWnd : 0);
  kcp_->SetNoDelay(2, kKcpUpdateIntervalMs, 1, 1);
  kcp_->SetMinRto(kKcpMinRtoMs);

  // A slice that needs more fragments than a KCP message may carry would be refused on every send;
  // cut it to the largest slice that fits.
  std::size_t maxSlice = static_cast<std::size_t>(kcp_->Mss()) * (kcp::kWndRcv - 1);
  if (sliceSize_ > maxSlice) {
    LOGW_(this) << "slice size " << sliceSize_ << " exceeds the KCP fragment limit, using " << maxSlice;
    sliceSize_ = maxSlice;
  }

  recvBuf_.resize(kRecvSlotSize * kRecvSlots);
  int64_t now = NowMs();
  rates_.Start(now);
  lastActivityMs_.store(now, std::memory_order_relaxed);
}

KCPTransportBase::~KCPTransportBase() = default;

void KCPTransportBase::Send(const uint8_t* data, std::size_t size) {
  do {
    std::size_t piece = std::min(size, sliceSize_);
    if (kcp_->Send(data, piece) != kcp::KcpProtocol::SendResult::Ok)
      throw ProtocolException("KCP message needs too many fragments", ZEP_SOURCE, __LINE__);
    data += piece;
    size -= piece;
  } while (size > 0);
  if (params_.forceFlush != 0) kcp_->Flush();
}

void KCPTransportBase::Output(std::span<const kcp::Datagram> batch) {
  lastActivityMs_.store(NowMs(), std::memory_order_relaxed);
  for (const kcp::Datagram& d : batch) rates_.CountSent(d.size());
  // The whole batch leaves before we return; a full socket buffer is waited out.
  if (int e = platform::SendDatagrams(socket_.Get(), batch, interrupt_)) ThrowTransport(e, __LINE__);
}

void KCPTransportBase::Receive(int waitMs) {
  std::array<std::span<uint8_t>, kRecvSlots> slots;
  for (std::size_t i = 0; i < kRecvSlots; ++i)
    slots[i] = {recvBuf_.data() + i * kRecvSlotSize, kRecvSlotSize};
  std::array<std::size_t, kRecvSlots> lengths{};
  std::size_t count = 0;
  // Includes ECONNREFUSED: nothing listens on the station's port.
  int e = platform::ReceiveDatagrams(socket_.Get(), slots, lengths, waitMs, interrupt_, count);
  for (std::size_t i = 0; i < count; ++i) {
    rates_.CountReceived(lengths[i]);
    // A foreign or malformed datagram is simply ignored.
    kcp_->Input(slots[i].data(), lengths[i]);
  }
  if (e != 0) ThrowTransport(e, __LINE__);
}

bool KcpByteRates::Tick(int64_t nowMs) {
  int64_t elapsed = nowMs - startMs_;
  if (elapsed < kKcpRatePeriodMs) return false;
  double seconds = static_cast<double>(elapsed) / 1000.0;
  recv_ = static_cast<double>(received_) * 8 / 1048576 / seconds;
  send_ = static_cast<double>(sent_) * 8 / 1048576 / seconds;
  recvWindow_[next_] = recv_;
  sendWindow_[next_] = send_;
  next_ = (next_ + 1) % kWindow;
  filled_ = std::min(filled_ + 1, kWindow);
  received_ = 0;
  sent_ = 0;
  startMs_ = nowMs;
  return true;
}

double KcpByteRates::Average(const std::array<double, kWindow>& w) const {
  if (filled_ == 0) return 0.0;
  double sum = 0;
  for (std::size_t i = 0; i < filled_; ++i) sum += w[i];
  return sum / static_cast<double>(filled_);
}

bool KCPTransportBase::Step() {
  int64_t now = NowMs();
  kcp_->Update(static_cast<uint32_t>(now));
  // Don't wait for datagrams while a complete message is already waiting to be delivered.
  Receive(kcp_->PeekSize() >= 0 ? 0 : kKcpReceiveWaitMs);
  rates_.Tick(NowMs());
  bool delivered = kcp_->Deliver([this](const uint8_t* data, std::size_t size) { DataReceived(data, size); });
  if (!delivered) Idle();
  return delivered;
}
