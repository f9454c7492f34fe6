#pragma once
// The station's cursor: the cursor thread turns each shape into an image, and the window thread,
// which owns SDL's cursors, makes and shows the cursor when woken.
#include <SDL.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "sov/protocol/Messages.h"
#include "sov/queue/BlockingQueue.h"
#include "zep/cursor/CursorShape.h"

namespace cursor {

using CursorQueue = BlockingQueue<std::unique_ptr<MOUSE_INFO>>;

// What the cursor thread hands to the window thread.
class CursorHandOver {
 public:
  CursorHandOver();
  // Whether the station's pointer is visible; the window thread reads it on every movement.
  bool Visible() const { return visible_.load(std::memory_order_relaxed) != 0; }
  void SetVisible(bool visible) { visible_.exchange(visible ? 1 : 0); }
  // The newest image waits here; an older one not taken yet is replaced.
  void Offer(CursorImage image);
  std::optional<CursorImage> Take();
  // Wakes the window thread with one SDL event (one in the queue at a time).
  void Wake();
  bool IsWakeEvent(const SDL_Event& e) const { return e.type == wakeType_; }
  void WakeHandled() { wakePending_.store(false); }

 private:
  std::atomic<uint8_t> visible_{1};
  Uint32 wakeType_;
  std::atomic<bool> wakePending_{false};
  std::mutex lock_;  // guards pending_
  std::optional<CursorImage> pending_;
};

// The cursor thread: shapes from the mouse-pointer channel until the queue is interrupted.
int DrawMouseThreadProc(CursorQueue& queue, CursorHandOver& handOver);

struct SdlCursorDeleter {
  void operator()(SDL_Cursor* c) const { SDL_FreeCursor(c); }
};
using SdlCursorPtr = std::unique_ptr<SDL_Cursor, SdlCursorDeleter>;

// Window thread: an SDL colour cursor from an image; null (with SDL's reason logged) on failure.
SdlCursorPtr MakeSdlCursor(const CursorImage& image);

}  // namespace cursor
