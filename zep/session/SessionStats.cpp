#include "zep/session/SessionStats.h"

#include <cmath>

void SessionCells::LatencySample(int64_t delayUs) {
  std::lock_guard lock(latencyLock_);
  latencyMs_[latencyNext_] = static_cast<double>(delayUs) / 1000.0;
  latencyNext_ = (latencyNext_ + 1) % kLatencyWindow;
  if (latencyCount_ < kLatencyWindow) ++latencyCount_;
}

SessionCells::Latency SessionCells::LatencyOverWindow() const {
  std::lock_guard lock(latencyLock_);
  Latency out;
  out.samples = latencyCount_;
  if (latencyCount_ == 0) return out;
  double sum = 0;
  for (std::size_t i = 0; i < latencyCount_; ++i) sum += latencyMs_[i];
  out.averageMs = sum / static_cast<double>(latencyCount_);
  if (latencyCount_ < 2) return out;
  double squares = 0;
  for (std::size_t i = 0; i < latencyCount_; ++i)
    squares += (latencyMs_[i] - out.averageMs) * (latencyMs_[i] - out.averageMs);
  out.deviationMs = std::sqrt(squares / static_cast<double>(latencyCount_ - 1));
  return out;
}
