#include "zep/channels/ChannelStats.h"

void ServerFrameRate::Frame(int64_t nowMs) {
  FPS_STAT sample;
  // The aggregator skips samples at time 0.
  sample.start = sample.end = static_cast<double>(nowMs > 0 ? nowMs : 1);
  window_.Add(sample);
}

bool ServerFrameRate::Due(int64_t nowMs) {
  if (nowMs - lastDueMs_ <= kStatsPublishPeriodMs) return false;
  lastDueMs_ = nowMs;
  return true;
}
