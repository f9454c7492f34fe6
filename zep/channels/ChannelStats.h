#pragma once
// The figures a receiving channel thread measures itself and publishes to the statistics table
// about once a second. Each object belongs to one thread, so it takes no lock; the cells have theirs.
#include <cstdint>

#include "sov/protocol/StreamParser.h"
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

// Megabits per second received on a TCP media channel: the average of the last five periods, the
// figure the KCP transports keep for their own bytes.
class TcpReceiveRate {
 public:
  explicit TcpReceiveRate(int cell) : cell_(cell) {}
  void Received(const proto::RawMessage& message);
  bool Due(int64_t nowMs) const {
    return periodStartMs_ < 0 || nowMs - periodStartMs_ >= kStatsPublishPeriodMs;
  }
  // Closes the period that began with the previous call; the cell is set only while the channel
  // carries the media, so that it shows the transport in use.
  void Publish(StatsTable& table, int64_t nowMs, bool carriesMedia);

 private:
  int cell_;
  MbpsAgregator window_{5};
  double bytes_ = 0;
  int64_t periodStartMs_ = -1;
};
