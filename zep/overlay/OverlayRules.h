#pragma once
// The overlay's show/hide rules as plain functions of time and measurements.
#include <cstdint>
#include <optional>

#include "zep/stats/StatsTable.h"

namespace overlay {

// The connecting pane hides once the video channel has been streaming for more than 2500 ms
// without a break, and stays hidden after that.
class ConnectingRule {
 public:
  static constexpr int64_t kStreamingMs = 2500;
  // Returns whether the pane is visible after this frame.
  bool Update(bool streaming, int64_t nowMs);

 private:
  bool hidden_ = false;
  std::optional<int64_t> streamingSince_;
};

// The slow-connection warning: the integer network latency (microseconds) above 300000 shows the
// warning with the latency in whole milliseconds; anything else hides it.
std::optional<int> SlowConnectionMs(const StatValue& networkLatency);

// Seconds left on the station confirmation: floor(150 - elapsed).
int ConfirmSecondsLeft(int64_t elapsedMs);

}  // namespace overlay
