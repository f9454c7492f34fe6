#include "platform/Semaphore.h"

#include "platform/Mirror.h"
#include "sov/base/BaseException.h"

namespace platform {

Semaphore::Semaphore(int initial, int maximum) : maximum_(maximum) {
  if (maximum < 1 || initial < 0 || initial > maximum)
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  fd_ = mirror::Open();
  if (initial > 0) {
    mirror::Arm(fd_);
    count_.store(initial, std::memory_order_release);
  }
}

Semaphore::~Semaphore() {
  mirror::Close(fd_);
}

bool Semaphore::Release(int n) {
  if (n < 1) return false;
  std::lock_guard lock(mutex_);
  int count = count_.load(std::memory_order_relaxed);
  if (n > maximum_ - count) return false;
  // Count first, descriptor second (and the reverse when taking): the descriptor is
  // only readable while the count is positive, so a woken waiter never finds it
  // readable with nothing to take and spins until this thread runs again.
  count_.store(count + n, std::memory_order_release);
  if (count == 0) mirror::Arm(fd_);
  return true;
}

bool Semaphore::TryAcquire() {
  if (count_.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard lock(mutex_);
  int count = count_.load(std::memory_order_relaxed);
  if (count == 0) return false;  // another waiter took the last unit
  if (count == 1) mirror::Disarm(fd_);
  count_.store(count - 1, std::memory_order_release);
  return true;
}

}  // namespace platform
