#include "zep/stats/NetworkLatency.h"

#include <algorithm>
#include <limits>

void NetworkLatencyMeter::Add(StatsTable& table, int64_t delayUs) {
  LONG_DOUBLE_STAT sample;
  sample.value = static_cast<double>(delayUs) / 1000.0;
  window_.Add(sample);
  table.SetReal(kStatNetworkLatency, static_cast<float>(window_.Result()));
  // A delay past the cell's range (a peer echoing an absurd time) saturates instead of wrapping.
  const int64_t limit = std::numeric_limits<int32_t>::max();
  table.SetInt(kStatNetworkLatency, static_cast<int32_t>(std::clamp(delayUs, -limit, limit)));
  table.SetReal(kStatNetworkJitter, static_cast<float>(window_.Deviation()));
}
