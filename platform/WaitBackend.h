#pragma once
// Internal: what each system's waits provide to the shared WaitAny/WaitAll (platform/Wait.cpp).
#include <algorithm>
#include <chrono>
#include <span>

#include "platform/Waitable.h"

namespace platform::wait_backend {

using Clock = std::chrono::steady_clock;

class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : infinite_(timeoutMs < 0), end_(Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0))) {}

  bool Infinite() const { return infinite_; }
  bool Expired() const { return !infinite_ && Clock::now() >= end_; }
  // What is left (zero once expired); meaningless when Infinite().
  Clock::duration Left() const { return std::max(Clock::duration::zero(), end_ - Clock::now()); }

 private:
  bool infinite_;
  Clock::time_point end_;
};

// WaitAnyFd's body, with the arguments already checked: takes the first signalled object in
// list order (its index after the descriptors), else reports the first ready descriptor,
// else kWaitTimeout once the deadline has passed.
int WaitAny(std::span<const PollFd> fds, std::span<Waitable* const> objects, const Deadline& deadline);
// Blocks until the object's descriptor is signalled or the deadline passes; it may return
// sooner (a signal), the caller looks again either way.
void WaitSignalled(const Waitable& object, const Deadline& deadline);

}  // namespace platform::wait_backend
