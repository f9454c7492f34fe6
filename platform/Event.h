#pragma once
// Event object whose descriptor (an eventfd on Linux, a Win32 event on Windows) is
// signalled exactly while the event is set. A manual-reset event stays set (and every
// waiter passes) until Reset; an auto-reset event lets exactly one waiter pass per Set.
#include <atomic>
#include <mutex>

#include "platform/Waitable.h"

namespace platform {

class Event : public Waitable {
 public:
  // Throws ErrCodeException with errno when the descriptor cannot be made.
  explicit Event(bool manualReset, bool initiallySet = false);
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
  bool ManualReset() const { return manual_; }

  int fd() const override { return fd_; }
  bool TryAcquire() override;
  void ReturnAcquired() override;

 private:
  const bool manual_;
  int fd_ = -1;
  std::mutex mutex_;              // orders changes of set_ with the descriptor's state
  std::atomic<bool> set_{false};  // written under mutex_; the descriptor is readable exactly while true
};

}  // namespace platform
