#pragma once
// The session's statistics thread: once a second it writes the queue depths and
// per-second arrivals into cells 0..8 and, while CSV reporting is on, one line of key
// cells to the statistics log (logger instance 1, "vektaclient.csv").
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Event.h"
#include "sov/queue/BlockingQueue.h"
#include "zep/stats/StatsTable.h"

// CSV reporting, toggled together with the statistics overlay by the hot key.
bool StatsCsvEnabled();
void SetStatsCsvEnabled(bool on);
// Flips the switch and returns the new state.
bool ToggleStatsCsv();

// A queue as the statistics thread sees it: its depth and the items pushed since the
// previous look. An empty gauge (no queue) reads 0 for both.
class QueueGauge {
 public:
  QueueGauge() = default;
  template <class T>
  explicit QueueGauge(const BaseQueue<T>& queue)
      : queue_(&queue),
        count_([](const void* q) { return static_cast<const BaseQueue<T>*>(q)->count(); }),
        pushed_([](const void* q) { return static_cast<const BaseQueue<T>*>(q)->pushed(); }) {}

  int Length() const { return queue_ ? count_(queue_) : 0; }
  // Counts across the wrap of the queue's 32-bit push counter. Called by one thread.
  int TakeAdded();

 private:
  const void* queue_ = nullptr;
  int (*count_)(const void*) = nullptr;
  int (*pushed_)(const void*) = nullptr;
  uint32_t lastPushed_ = 0;
};

struct StatsThreadParams {
  platform::Event* stop = nullptr;  // the session's interrupt event
  StatsTable* table = nullptr;
  QueueGauge mouseShapes;    // cursor shapes
  QueueGauge videoFrames;    // received video frames
  QueueGauge receivedAudio;  // audio frames before the decoder
  QueueGauge decodedAudio;   // audio frames before the resampler
  QueueGauge playableAudio;  // audio frames before the player
  int periodMs = 1000;
  // Called after every sampling round, e.g. to log a line of figures the table does not hold.
  std::function<void(const StatsTable&)> afterRound;
};

// One sampling round: cells 0..8 from the queues.
void SampleQueues(StatsThreadParams& p);
// The CSV message: network latency, full latency, frames before the decoder, server
// frame rate, cursor shapes per second, audio frames per second, separated by ";".
std::string StatsCsvLine(const StatsTable& table);

// The thread procedure: sets the labels, then samples every periodMs until the stop
// event is set, which ends it as an interrupted thread (result 0).
int StatsThreadProc(StatsThreadParams params);
