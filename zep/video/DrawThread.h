#pragma once
// The presentation thread "DrawThreadProc": it creates SDL's renderer and makes every render call,
// so a present that waits for the vertical blank never holds up the window's event handling.
//
// SDL's renderer follows the window through an event watch that runs on whichever thread pushes
// a window event: on the window thread, that watch would change the renderer's viewport and
// window surface beside our draws. So the window thread's event filter hands the window changes
// the renderer follows (size, minimise, show, move) to this thread, which pushes them again: the
// renderer's watch then runs here, between draws, and the window thread still gets the events
// from the queue, a moment later.
#include <SDL.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Event.h"
#include "zep/video/Presenter.h"

namespace video {

class DrawThread {
 public:
  static constexpr const char* kThreadName = "DrawThreadProc";

  // Starts the thread and returns once its renderer exists; rethrows the renderer's failure.
  // The thread ends when `stop` is set (the session's interrupt) or this object goes.
  DrawThread(SDL_Window* window, PresenterParams params, platform::Event& stop);
  ~DrawThread();
  DrawThread(const DrawThread&) = delete;
  DrawThread& operator=(const DrawThread&) = delete;

  // The window thread's event filter: true when the event was taken over, to be pushed again from
  // the draw thread. Events the draw thread pushes pass.
  bool TakeWindowEvent(const SDL_Event& e);
  // Waits at most `timeoutMs` for the thread to end; true when it did.
  bool WaitEnded(int timeoutMs);

 private:
  void Body(SDL_Window* window, PresenterParams params);
  void ApplyWindowChanges(Presenter& presenter);

  platform::Event& stop_;
  platform::Event quit_{true};      // set by the destructor
  platform::Event changed_{false};  // a window change waits in pending_
  platform::Event ended_{true};
  Uint32 windowId_ = 0;

  std::mutex startLock_;  // guards started_, startError_ until the constructor returns
  std::condition_variable startDone_;
  bool started_ = false;
  std::exception_ptr startError_;

  std::mutex changesLock_;               // the window-change lock: guards pending_
  std::deque<SDL_WindowEvent> pending_;  // window thread → draw thread, in order

  std::atomic<std::thread::id> drawThreadId_{};
  std::thread thread_;
};

}  // namespace video
