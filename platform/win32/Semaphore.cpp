// Counting semaphore whose count lives here; a Win32 manual-reset event is signalled exactly
// while the count is above zero.
#include "platform/Semaphore.h"

#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform {

namespace mirror = win32::mirror;

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
