#pragma once
// The figures a receiving channel thread measures itself and publishes to the statistics table
// about once a second. Each object belongs to one thread, so it takes no lock; the cells have theirs.
#include <cstdint>

#include "zep/stats/StatAgregator.h"
#include "zep/stats/StatsTable.h"

constexpr int64_t kStatsPublishPeriodMs = 1000;

// Frames received per second ("FPS (server)") over the last `window` frames.
class ServerFrameRate {
 public:
  explicit ServerFrameRate(std::size_t window) : window_(window) {}
  void Frame(int64_t nowMs);
  // True, once, when more than a period has passed since the last time it was.
  bool Due(int64_t nowMs);
  void Publish(StatsTable& table) const {
    table.SetReal(kStatFpsServer, static_cast<float>(window_.Result()));
  }

 private:
  RateAgregator window_;
  int64_t lastDueMs_ = 0;
};
