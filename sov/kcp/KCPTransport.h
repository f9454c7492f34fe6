#pragma once
// A KCP conversation with the station over one connected UDP socket. Every operation runs on the
// owning channel thread; only the last-activity time is read from elsewhere (statistics).
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/UniqueFd.h"
#include "sov/kcp/KcpProtocol.h"
#include "sov/protocol/Messages.h"

namespace platform {
class Event;
}

// The slice size used when the parameters record gives none.
constexpr uint32_t kKcpDefaultSliceSize = 32768;
constexpr int kKcpSocketBufferSize = 8 * 1024 * 1024;
constexpr uint32_t kKcpUpdateIntervalMs = 2;
constexpr uint32_t kKcpMinRtoMs = 10;
constexpr int kKcpReceiveWaitMs = 1;
constexpr int64_t kKcpRatePeriodMs = 1000;

// Byte counts turned into megabits per second once a period. The averages cover the last five
// figures, the window the statistics overlay shows, so that they follow a change of bandwidth.
class KcpByteRates {
 public:
  static constexpr std::size_t kWindow = 5;

  void Start(int64_t nowMs) { startMs_ = nowMs; }
  void CountReceived(std::size_t n) {
    received_ += n;
    totalReceived_ += n;
  }
  void CountSent(std::size_t n) {
    sent_ += n;
    totalSent_ += n;
  }
  // Closes the period once kKcpRatePeriodMs have passed; true when it did.
  bool Tick(int64_t nowMs);

  double ReceiveMbps() const { return recv_; }
  double SendMbps() const { return send_; }
  double AverageReceiveMbps() const { return Average(recvWindow_); }
  double AverageSendMbps() const { return Average(sendWindow_); }
  uint64_t TotalReceived() const { return totalReceived_; }
  uint64_t TotalSent() const { return totalSent_; }

 private:
  double Average(const std::array<double, kWindow>& w) const;

  int64_t startMs_ = 0;
  uint64_t received_ = 0, sent_ = 0;  // since the period started
  uint64_t totalReceived_ = 0, totalSent_ = 0;
  double recv_ = 0, send_ = 0;
  std::array<double, kWindow> recvWindow_{}, sendWindow_{};
  std::size_t next_ = 0, filled_ = 0;
};

class KCPTransportBase {
 public:
  // stationAddr is an IPv4 address in network byte order. Throws TransportException when the
  // socket cannot be set up. A step waiting for datagrams, or a send on a full socket buffer,
  // ends with InterruptException once the interrupt (may be null) is set.
  KCPTransportBase(uint32_t stationAddr, uint16_t port, const proto::UDP_CHANNEL_PARAMS& params,
                   platform::Event* interrupt);
  virtual ~KCPTransportBase();
  KCPTransportBase(const KCPTransportBase&) = delete;
  KCPTransportBase& operator=(const KCPTransportBase&) = delete;

  // Queues the bytes as KCP messages of at most the slice size; flushes at once with force flush.
  void Send(const uint8_t* data, std::size_t size);
  // One turn of timer, reception (at most 1 ms of waiting) and delivery of one message to
  // DataReceived(); true when something was delivered.
  bool Step();

  const proto::UDP_CHANNEL_PARAMS& Params() const { return params_; }
  std::size_t SliceSize() const { return sliceSize_; }
  uint16_t LocalPort() const { return localPort_; }
  int64_t LastActivityMs() const { return lastActivityMs_.load(std::memory_order_relaxed); }
  // Megabits per second over the last full second, and the mean of the last five such seconds.
  double ReceiveRateMbps() const { return rates_.ReceiveMbps(); }
  double SendRateMbps() const { return rates_.SendMbps(); }
  double AverageReceiveRateMbps() const { return rates_.AverageReceiveMbps(); }
  double AverageSendRateMbps() const { return rates_.AverageSendMbps(); }
  uint64_t TotalBytesReceived() const { return rates_.TotalReceived(); }
  uint64_t TotalBytesSent() const { return rates_.TotalSent(); }
  kcp::KcpProtocol& Protocol() { return *kcp_; }

 protected:
  virtual void DataReceived(const uint8_t* data, std::size_t size) = 0;
  // Called when a step delivered nothing.
  virtual void Idle() {}

 private:
  void Output(std::span<const kcp::Datagram> batch);
  void Receive(int waitMs);

  platform::UniqueFd socket_;
  uint16_t localPort_ = 0;
  proto::UDP_CHANNEL_PARAMS params_;
  platform::Event* interrupt_;  // not owned
  std::size_t sliceSize_ = kKcpDefaultSliceSize;
  std::unique_ptr<kcp::KcpProtocol> kcp_;

  // Receive slots for batched receives: each large enough for any UDP datagram.
  std::vector<uint8_t> recvBuf_;

  std::atomic<int64_t> lastActivityMs_{0};
  KcpByteRates rates_;
};
