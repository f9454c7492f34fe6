#include "zep/video/DrawThread.h"

#include "platform/Thread.h"
#include "platform/Waitable.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"

namespace video {
namespace {

// The window events SDL's renderer reacts to in its event watch.
bool RendererFollows(Uint8 event) {
  switch (event) {
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_HIDDEN:
    case SDL_WINDOWEVENT_MOVED:
    case SDL_WINDOWEVENT_RESIZED:
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_MINIMIZED:
    case SDL_WINDOWEVENT_MAXIMIZED:
    case SDL_WINDOWEVENT_RESTORED:
      return true;
    default:
      return false;
  }
}

}  // namespace

DrawThread::DrawThread(SDL_Window* window, PresenterParams params, platform::Event& stop)
    : stop_(stop), windowId_(SDL_GetWindowID(window)) {
  // The window thread waits here while the renderer is made: SDL may recreate the window for
  // it, which must not meet the window thread's event pump.
  thread_ = std::thread([this, window, p = std::move(params)]() mutable {
    RunThreadProc(kThreadName, [&] { Body(window, std::move(p)); });
    ended_.Set();
  });
  std::unique_lock lock(startLock_);
  startDone_.wait(lock, [this] { return started_; });
  if (startError_) {
    lock.unlock();
    thread_.join();
    std::rethrow_exception(startError_);
  }
}

DrawThread::~DrawThread() {
  quit_.Set();
  if (thread_.joinable()) thread_.join();
}

bool DrawThread::WaitEnded(int timeoutMs) {
  if (platform::WaitAny({&ended_}, timeoutMs) != 0) return false;
  if (thread_.joinable()) thread_.join();
  return true;
}

bool DrawThread::TakeWindowEvent(const SDL_Event& e) {
  if (e.type != SDL_WINDOWEVENT || e.window.windowID != windowId_ || !RendererFollows(e.window.event))
    return false;
  if (std::this_thread::get_id() == drawThreadId_.load()) return false;  // our own push
  {
    std::lock_guard lock(changesLock_);
    pending_.push_back(e.window);
  }
  changed_.Set();
  return true;
}

void DrawThread::ApplyWindowChanges(Presenter& presenter) {
  std::deque<SDL_WindowEvent> changes;
  {
    std::lock_guard lock(changesLock_);
    changes.swap(pending_);
  }
  for (const SDL_WindowEvent& w : changes) {
    SDL_Event e{};
    e.window = w;
    // Runs the renderer's event watch on this thread; the window thread gets the event after it.
    if (SDL_PushEvent(&e) < 0) LOGD << "SDL_PushEvent: " << SDL_GetError();
    presenter.OnWindowEvent(w);
  }
}

void DrawThread::Body(SDL_Window* window, PresenterParams params) {
  platform::SetThreadName(kThreadName);
  drawThreadId_.store(std::this_thread::get_id());
  TripleBuffer& buffer = *params.buffer;
  std::unique_ptr<Presenter> presenter;
  std::exception_ptr error;
  try {
    presenter = std::make_unique<Presenter>(window, std::move(params));
  } catch (...) {
    error = std::current_exception();
  }
  {
    std::lock_guard lock(startLock_);
    started_ = true;
    startError_ = error;
  }
  startDone_.notify_all();
  if (!presenter) return;  // the constructor reports the failure

  for (;;) {
    const int r =
        platform::WaitAny({&stop_, &quit_, &changed_, &buffer.FrameReady()}, presenter->WaitBudgetMs());
    if (r == 0 || r == 1) throw InterruptException(ZEP_SOURCE, __LINE__);
    bool changed = false;
    {
      std::lock_guard lock(changesLock_);
      changed = !pending_.empty();
    }
    if (changed) ApplyWindowChanges(*presenter);
    // A changed window is drawn at once; otherwise a picture or the idle redraw is due.
    presenter->Iterate(r == 3, changed);
  }
}

}  // namespace video
