#include "zep/stats/StatsThread.h"

#include <atomic>

#include "platform/Thread.h"
#include "platform/Wait.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"

namespace {

constexpr const char* kThreadName = "StatsThreadProc";
constexpr int kCsvLogger = 1;
// The statistics record's place as readers of the CSV file know it.
constexpr int kCsvRecordLine = 580;

std::atomic<int32_t> g_csvEnabled{0};

}  // namespace

bool StatsCsvEnabled() {
  return g_csvEnabled.load(std::memory_order_relaxed) != 0;
}

void SetStatsCsvEnabled(bool on) {
  g_csvEnabled.exchange(on ? 1 : 0);
}

bool ToggleStatsCsv() {
  return (g_csvEnabled.fetch_xor(1) ^ 1) != 0;
}

int QueueGauge::TakeAdded() {
  if (!queue_) return 0;
  const auto now = static_cast<uint32_t>(pushed_(queue_));
  const uint32_t added = now - lastPushed_;
  lastPushed_ = now;
  return static_cast<int>(added);
}

void SampleQueues(StatsThreadParams& p) {
  StatsTable& t = *p.table;
  t.SetInt(kStatMouseShapesQueued, p.mouseShapes.Length());
  t.SetInt(kStatMouseShapesPerSecond, p.mouseShapes.TakeAdded());
  t.SetInt(kStatFramesQueuedBeforeDecoder, p.videoFrames.Length());
  t.SetInt(kStatAudioQueuedBeforeDecoder, p.receivedAudio.Length());
  t.SetInt(kStatAudioObtainedPerSecond, p.receivedAudio.TakeAdded());
  t.SetInt(kStatAudioQueuedBeforeResampler, p.decodedAudio.Length());
  t.SetInt(kStatAudioDecodedPerSecond, p.decodedAudio.TakeAdded());
  t.SetInt(kStatAudioBeforePlayer, p.playableAudio.Length());
  t.SetInt(kStatAudioResampledPerSecond, p.playableAudio.TakeAdded());
}

std::string StatsCsvLine(const StatsTable& table) {
  static constexpr int kColumns[] = {
      kStatNetworkLatency, kStatFullLatency,          kStatFramesQueuedBeforeDecoder,
      kStatFpsServer,      kStatMouseShapesPerSecond, kStatAudioObtainedPerSecond};
  std::string line;
  for (int cell : kColumns) {
    if (!line.empty()) line += ';';
    line += table.Format(cell);
  }
  return line;
}

int StatsThreadProc(StatsThreadParams params) {
  return RunThreadProc(kThreadName, [&] {
    platform::SetThreadName(kThreadName);
    if (!params.stop || !params.table) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
    SetStandardLabels(*params.table);
    for (;;) {
      if (platform::WaitAny({params.stop}, params.periodMs) != platform::kWaitTimeout)
        throw InterruptQueueException(ZEP_SOURCE, __LINE__);
      SampleQueues(params);
      if (params.afterRound) params.afterRound(*params.table);
      if (!StatsCsvEnabled() || !zlog::Enabled(kCsvLogger, zlog::Severity::Debug)) continue;
      zlog::Write(kCsvLogger, zlog::Severity::Debug, kThreadName, kCsvRecordLine, nullptr,
                  StatsCsvLine(*params.table));
    }
  });
}
