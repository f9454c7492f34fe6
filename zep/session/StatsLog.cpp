#include <cinttypes>
#include <cstdio>

#include "platform/HPCWrapper.h"
#include "platform/Thread.h"
#include "platform/Waitable.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "zep/session/ClientThreads.h"

namespace {
constexpr int kReportPeriodMs = 1000;
}

int StatsThreadProc(SessionShared& shared, SessionCells& cells) {
  static const char* const kName = "StatsThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    uint64_t lastFrames = cells.VideoFrames();
    int64_t lastMs = HPCWrapper::NowMs();
    for (;;) {
      if (platform::WaitAny({&shared.interrupt}, kReportPeriodMs) == 0)
        throw InterruptException(ZEP_SOURCE, __LINE__);
      const int64_t now = HPCWrapper::NowMs();
      const uint64_t frames = cells.VideoFrames();
      const double fps =
          now > lastMs ? static_cast<double>(frames - lastFrames) * 1000.0 / (now - lastMs) : 0;
      lastFrames = frames;
      lastMs = now;
      const SessionCells::Latency latency = cells.LatencyOverWindow();
      char line[256];
      std::snprintf(line, sizeof line,
                    "Statistics: video %.1f frames/s (%" PRIu64
                    " in all), latency %.1f ms (sd %.1f, %zu samples), "
                    "clock offset %" PRId64 " us, KCP video %.2f Mbit/s, audio %.2f Mbit/s, video alive %u",
                    fps, frames, latency.averageMs, latency.deviationMs, latency.samples,
                    ClockOffsetUs().load(std::memory_order_relaxed), cells.KcpRate(KcpChannel::Video),
                    cells.KcpRate(KcpChannel::Audio), shared.videoAlive.load(std::memory_order_relaxed));
      LOGI << line;
    }
  });
}
