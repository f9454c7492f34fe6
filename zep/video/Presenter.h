#pragma once
// One step of the presentation loop: draw the current picture, the overlay over it, present, and
// feed the render statistics. DrawThreadProc (DrawThread.h) drives it on the thread that owns
// the renderer; every call here belongs to that thread.
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
  std::function<void()> rendererGone;                   // before the renderer goes: free its textures
};

class Presenter {
 public:
  static constexpr int kIdleRedrawMs = 50;

  Presenter(SDL_Window* window, PresenterParams params);
  ~Presenter();
  Presenter(const Presenter&) = delete;
  Presenter& operator=(const Presenter&) = delete;

  // Milliseconds the loop may wait for a picture before the idle redraw is due.
  int WaitBudgetMs() const;
  void OnWindowEvent(const SDL_WindowEvent& e);
  // Draws and presents when a picture is ready (`frameTaken`: the caller's wait took the
  // frame-ready signal), when `force`d, or when the idle redraw is due; otherwise nothing.
  void Iterate(bool frameTaken = false, bool force = false);

  // The overlay's slow-connection warning: set while the network latency is above 300 ms.
  bool SlowConnection() const { return slowConnection_.load(std::memory_order_relaxed); }
  int SlowConnectionMs() const { return slowConnectionMs_.load(std::memory_order_relaxed); }
  // True when "Full latency" holds the current picture's figure: false during the first
  // iteration of a new picture (its latency is taken after the present) or while the clock
  // offset is unknown.
  bool FullLatencyReady() const { return fullLatencyReady_.load(std::memory_order_relaxed); }

 private:
  void RefreshClientArea();
  void ReportOncePerSecond(int64_t nowMs);
  void MaybeDump();

  PresenterParams p_;
  VideoFrameRenderer renderer_;
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
