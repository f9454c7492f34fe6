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

void TcpReceiveRate::Received(const proto::RawMessage& message) {
  double bytes = 1 + static_cast<double>(message.fixed.size());
  for (const auto& block : message.blocks) bytes += static_cast<double>(block.size());
  bytes_ += bytes;
}

void TcpReceiveRate::Publish(StatsTable& table, int64_t nowMs, bool carriesMedia) {
  if (periodStartMs_ >= 0 && nowMs > periodStartMs_) {
    MBPS_DATA sample;
    sample.start = static_cast<double>(periodStartMs_);
    sample.end = static_cast<double>(nowMs);
    sample.bytes = bytes_;
    window_.Add(sample);
    if (carriesMedia) table.SetReal(cell_, static_cast<float>(window_.Result()));
  }
  bytes_ = 0;
  periodStartMs_ = nowMs;
}
