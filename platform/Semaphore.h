#pragma once
// Counting semaphore with a maximum, on a descriptor (an eventfd on Linux, a Win32
// event on Windows) that is signalled while the count is above zero. The count itself lives here, so acquiring and releasing touch the
// descriptor only when the count leaves or reaches zero.
#include <atomic>
#include <mutex>

#include "platform/Waitable.h"

namespace platform {

class Semaphore : public Waitable {
 public:
  // 0 <= initial <= maximum and maximum > 0, else ErrCodeException(ErrCode::InvalidArg);
  // ErrCodeException with errno when the descriptor cannot be made.
  Semaphore(int initial, int maximum);
  ~Semaphore() override;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Adds n units. False, and nothing added, when n < 1 or the count would exceed the maximum.
  bool Release(int n = 1);
  int Count() const { return count_.load(std::memory_order_acquire); }
  int Maximum() const { return maximum_; }

  int fd() const override { return fd_; }
  bool TryAcquire() override;
  void ReturnAcquired() override { Release(1); }

 private:
  const int maximum_;
  int fd_ = -1;
  std::mutex mutex_;           // orders changes of count_ with the descriptor's state
  std::atomic<int> count_{0};  // written under mutex_; the descriptor is readable exactly while > 0
};

}  // namespace platform
