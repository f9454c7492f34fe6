#pragma once
// The presentation loop. It runs on the thread that owns the window and its event loop, not on
// a thread of its own: SDL's renderer is bound to one thread, and SDL handles the window's
// size events inside the event pump by touching the renderer (viewport, GL context), so a
// renderer driven from a second thread would race with every resize. The event loop therefore
// waits for window events at most until the next draw is due (50 ms), and the decoder wakes it
// with an SDL event after each published picture.
#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "zep/stats/StatAgregator.h"
#include "zep/video/ClientArea.h"
#include "zep/video/DebugActions.h"
#include "zep/video/IdleWindow.h"
#include "zep/video/TripleBuffer.h"
#include "zep/video/VideoFrameRenderer.h"

class CStatStorage;
class StatsTable;

namespace video {

struct PresenterParams {
  TripleBuffer* buffer = nullptr;
  ClientArea* area = nullptr;
  StatsTable* table = nullptr;                          // may be null
  CStatStorage* storage = nullptr;                      // may be null; feeds its render-loop share
  const std::atomic<int64_t>* clockOffsetUs = nullptr;  // client minus station time; 0 = unknown
  std::function<void(QuadScale)> publishScale;          // for input mapping
  std::function<void(SDL_Renderer*)> drawOverlay;       // draws over the picture before present
  std::function<void(uint64_t stamp)> onFirstPresent;   // once per picture, after its first present
};

class Presenter : private TripleBuffer::Listener {
 public:
  static constexpr int kIdleRedrawMs = 50;

  Presenter(SDL_Window* window, PresenterParams params);
  ~Presenter() override;

  // Milliseconds the event loop may wait before Iterate is due.
  int WaitBudgetMs() const;
  // True for the event the decoder posts after a publish.
  bool IsWakeEvent(const SDL_Event& e) const { return e.type == wakeType_; }
  void OnWindowEvent(const SDL_WindowEvent& e);
  // Draws and presents when a picture is ready or the idle redraw is due; otherwise nothing.
  void Iterate();

  // The overlay's slow-connection warning: set while the network latency is above 300 ms.
  bool SlowConnection() const { return slowConnection_.load(std::memory_order_relaxed); }
  int SlowConnectionMs() const { return slowConnectionMs_.load(std::memory_order_relaxed); }
  // True when "Full latency" holds the current picture's figure: false during the first
  // iteration of a new picture (its latency is taken after the present) or while the clock
  // offset is unknown.
  bool FullLatencyReady() const { return fullLatencyReady_.load(std::memory_order_relaxed); }

 private:
  void OnPublish() override;
  void RefreshClientArea();
  void ReportOncePerSecond(int64_t nowMs);
  void MaybeDump();

  PresenterParams p_;
  VideoFrameRenderer renderer_;
  Uint32 wakeType_;
  std::atomic<bool> wakePending_{false};
  std::atomic<bool> slowConnection_{false};
  std::atomic<int> slowConnectionMs_{0};
  std::atomic<bool> fullLatencyReady_{false};

  uint64_t currentStamp_ = 0;
  uint64_t measuredStamp_ = 0;
  uint64_t iterations_ = 0;
  uint64_t pictures_ = 0;
  int64_t startMs_ = 0;
  int64_t lastReportMs_ = 0;
  int64_t lastIterationEndUs_ = 0;
  IdleWindow idle_{200};
  RateAgregator fps_{30};
  std::string dumpPath_;
  DebugActions debug_;
  uint64_t dumpAfter_ = 0;
};

}  // namespace video
