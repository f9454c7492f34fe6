#include "platform/Event.h"

#include "platform/Mirror.h"

namespace platform {

Event::Event(bool manualReset, bool initiallySet) : manual_(manualReset), fd_(mirror::Open()) {
  if (initiallySet) Set();
}

Event::~Event() {
  mirror::Close(fd_);
}

void Event::Set() {
  std::lock_guard lock(mutex_);
  if (set_.load(std::memory_order_relaxed)) return;
  // State first, descriptor second (the reverse when clearing): the descriptor is
  // never readable while the event is clear, so woken waiters never spin on it.
  set_.store(true, std::memory_order_release);
  mirror::Arm(fd_);
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  if (!set_.load(std::memory_order_relaxed)) return;
  mirror::Disarm(fd_);
  set_.store(false, std::memory_order_release);
}

bool Event::TryAcquire() {
  if (!set_.load(std::memory_order_acquire)) return false;
  if (manual_) return true;
  // Several waiters may have seen the descriptor readable; only one takes the signal.
  std::lock_guard lock(mutex_);
  if (!set_.load(std::memory_order_relaxed)) return false;
  mirror::Disarm(fd_);
  set_.store(false, std::memory_order_release);
  return true;
}

void Event::ReturnAcquired() {
  if (!manual_) Set();
}

}  // namespace platform
