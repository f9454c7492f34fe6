#include "sov/kcp/KCPTransport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "platform/HPCWrapper.h"

namespace {

constexpr std::size_t kRecvSlotSize = 65536;
constexpr std::size_t kRecvSlots = 16;
constexpr uint32_t kMaxUdpPayload = 65507;

int64_t NowMs() {
  return HPCWrapper::NowMs();
}

[[noreturn]] void ThrowTransport(int err, int line) {
  throw TransportException(err, ZEP_SOURCE, line);
}

}  // namespace

KCPTransportBase::KCPTransportBase(uint32_t stationAddr, uint16_t port,
                                   const proto::UDP_CHANNEL_PARAMS& params)
    : params_(params) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd_ < 0) ThrowTransport(errno, __LINE__);
  try {
    // Connected: plain sends go to the station and only its datagrams are received.
    sockaddr_in station{};
    station.sin_family = AF_INET;
    station.sin_port = htons(port);
    station.sin_addr.s_addr = stationAddr;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&station), sizeof station) != 0)
      ThrowTransport(errno, __LINE__);

    int flags = 1;
    if (::ioctl(fd_, FIONBIO, &flags) != 0) ThrowTransport(errno, __LINE__);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) ThrowTransport(errno, __LINE__);
    localPort_ = ntohs(local.sin_port);

    // Large buffers absorb bursts of big video frames. The kernel caps plain requests at its
    // maximum; the forcing variant needs privileges, so it is only tried.
    int size = kKcpSocketBufferSize;
    for (int opt : {SO_SNDBUF, SO_RCVBUF}) {
      int force = opt == SO_SNDBUF ? SO_SNDBUFFORCE : SO_RCVBUFFORCE;
      if (::setsockopt(fd_, SOL_SOCKET, force, &size, sizeof size) != 0 &&
          ::setsockopt(fd_, SOL_SOCKET, opt, &size, sizeof size) != 0)
        ThrowTransport(errno, __LINE__);
    }
  } catch (...) {
    ::close(fd_);
    throw;
  }

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

KCPTransportBase::~KCPTransportBase() {
  if (fd_ >= 0) ::close(fd_);
}

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
  mmsghdr msgs[kcp::kMaxBatch]{};
  iovec iov[kcp::kMaxBatch]{};
  std::size_t n = std::min(batch.size(), kcp::kMaxBatch);
  for (std::size_t i = 0; i < n; ++i) {
    iov[i].iov_base = const_cast<uint8_t*>(batch[i].data());
    iov[i].iov_len = batch[i].size();
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    rates_.CountSent(batch[i].size());
  }
  // The whole batch leaves before we return; a full socket buffer is waited out.
  std::size_t done = 0;
  while (done < n) {
    int r = ::sendmmsg(fd_, msgs + done, static_cast<unsigned>(n - done), 0);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, -1);
      continue;
    }
    ThrowTransport(errno, __LINE__);
  }
}

void KCPTransportBase::Receive(int waitMs) {
  pollfd p{fd_, POLLIN, 0};
  int r = ::poll(&p, 1, waitMs);
  if (r < 0) {
    if (errno == EINTR) return;
    ThrowTransport(errno, __LINE__);
  }
  if (r == 0) return;

  mmsghdr msgs[kRecvSlots]{};
  iovec iov[kRecvSlots]{};
  for (std::size_t i = 0; i < kRecvSlots; ++i) {
    iov[i].iov_base = recvBuf_.data() + i * kRecvSlotSize;
    iov[i].iov_len = kRecvSlotSize;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  int n = ::recvmmsg(fd_, msgs, kRecvSlots, MSG_DONTWAIT, nullptr);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    // Includes ECONNREFUSED: nothing listens on the station's port.
    ThrowTransport(errno, __LINE__);
  }
  for (int i = 0; i < n; ++i) {
    if (msgs[i].msg_hdr.msg_flags != 0) ThrowTransport(EMSGSIZE, __LINE__);
    std::size_t len = msgs[i].msg_len;
    rates_.CountReceived(len);
    // A foreign or malformed datagram is simply ignored.
    kcp_->Input(recvBuf_.data() + static_cast<std::size_t>(i) * kRecvSlotSize, len);
  }
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
