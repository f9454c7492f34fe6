#pragma once
// What the channel threads report for the statistics. The statistics subsystem implements this
// seam with its aggregators; SessionCells is the small stand-in this build logs from.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

enum class KcpChannel { Video = 0, Audio = 1 };

class ISessionStats {
 public:
  virtual ~ISessionStats() = default;
  // One video frame taken from the station, over TCP or KCP.
  virtual void VideoFrameReceived() = 0;
  // One answered ping: the one-way delay.
  virtual void LatencySample(int64_t delayUs) = 0;
  // KCP receive rate of a UDP channel, megabits per second (0 after a failure).
  virtual void KcpReceiveRate(KcpChannel channel, double mbps) = 0;
};

// Plain cells: counters and a latency ring, read by the logging thread without stopping writers.
class SessionCells : public ISessionStats {
 public:
  static constexpr std::size_t kLatencyWindow = 80;

  void VideoFrameReceived() override { videoFrames_.fetch_add(1, std::memory_order_relaxed); }
  void LatencySample(int64_t delayUs) override;
  void KcpReceiveRate(KcpChannel channel, double mbps) override {
    kcpRates_[static_cast<int>(channel)].store(mbps, std::memory_order_relaxed);
  }

  uint64_t VideoFrames() const { return videoFrames_.load(std::memory_order_relaxed); }
  double KcpRate(KcpChannel channel) const { return kcpRates_[static_cast<int>(channel)].load(); }
  struct Latency {
    std::size_t samples = 0;
    double averageMs = 0;
    double deviationMs = 0;  // sample standard deviation (n - 1), 0 below two samples
  };
  Latency LatencyOverWindow() const;

 private:
  std::atomic<uint64_t> videoFrames_{0};
  std::array<std::atomic<double>, 2> kcpRates_{};
  mutable std::mutex latencyLock_;  // guards latencyMs_, latencyNext_ and latencyCount_
  std::array<double, kLatencyWindow> latencyMs_{};
  std::size_t latencyNext_ = 0;
  std::size_t latencyCount_ = 0;
};
