#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/Waitable.h"
#include "sov/base/BaseException.h"

static_assert(platform::kWaitReadable == POLLIN && platform::kWaitWritable == POLLOUT);

namespace platform {

Waitable::~Waitable() = default;

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : infinite_(timeoutMs < 0), end_(Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0))) {}

  bool Expired() const { return !infinite_ && Clock::now() >= end_; }

  // What is left, for ppoll; null for no limit.
  const timespec* Remaining(timespec& ts) const {
    if (infinite_) return nullptr;
    auto left = std::max(Clock::duration::zero(), end_ - Clock::now());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return &ts;
  }

 private:
  bool infinite_;
  Clock::time_point end_;
};

// Polls; true when something is ready, false when the time ran out or a signal
// interrupted the call (the caller re-checks its objects either way).
bool Poll(pollfd* fds, std::size_t count, const Deadline& deadline) {
  timespec ts{};
  int r = ::ppoll(fds, static_cast<nfds_t>(count), deadline.Remaining(ts), nullptr);
  if (r < 0) {
    if (errno == EINTR) return false;
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  }
  return r > 0;
}

void CheckObjects(std::span<Waitable* const> objects, std::size_t fdCount) {
  if (objects.size() + fdCount > kMaxWaitObjects)
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  for (Waitable* o : objects)
    if (o == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

int WaitAnyImpl(std::span<const PollFd> fds, std::span<Waitable* const> objects, int timeoutMs) {
  CheckObjects(objects, fds.size());
  const std::size_t n = objects.size();
  std::array<pollfd, kMaxWaitObjects> pfds{};
  for (std::size_t i = 0; i < n; ++i) pfds[i] = {objects[i]->fd(), POLLIN, 0};
  for (std::size_t i = 0; i < fds.size(); ++i) pfds[n + i] = {fds[i].fd, fds[i].events, 0};
  const std::size_t total = n + fds.size();

  Deadline deadline(timeoutMs);
  for (;;) {
    // Taking in list order gives earlier objects priority.
    for (std::size_t i = 0; i < n; ++i)
      if (objects[i]->TryAcquire()) return static_cast<int>(fds.size() + i);
    if (Poll(pfds.data(), total, deadline)) {
      // A signalled object goes back to the top, where it is taken in order; if
      // another waiter won it meanwhile, we poll again.
      bool objectReady =
          std::any_of(pfds.begin(), pfds.begin() + n, [](const pollfd& p) { return p.revents != 0; });
      if (objectReady) continue;
      for (std::size_t i = 0; i < fds.size(); ++i)
        if (pfds[n + i].revents != 0) return static_cast<int>(i);
    }
    if (deadline.Expired()) {
      // One last look, so a signal that came with the deadline is not missed.
      for (std::size_t i = 0; i < n; ++i)
        if (objects[i]->TryAcquire()) return static_cast<int>(fds.size() + i);
      return kWaitTimeout;
    }
  }
}

}  // namespace

int WaitAny(std::span<Waitable* const> objects, int timeoutMs) {
  return WaitAnyImpl({}, objects, timeoutMs);
}

int WaitAnyFd(std::span<const PollFd> fds, std::span<Waitable* const> objects, int timeoutMs) {
  return WaitAnyImpl(fds, objects, timeoutMs);
}

int WaitAnyFd(std::span<const int> fds, std::span<Waitable* const> objects, int timeoutMs) {
  if (fds.size() > kMaxWaitObjects) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  std::array<PollFd, kMaxWaitObjects> readable{};
  for (std::size_t i = 0; i < fds.size(); ++i) readable[i] = {fds[i], POLLIN};
  return WaitAnyImpl(std::span<const PollFd>(readable.data(), fds.size()), objects, timeoutMs);
}

bool WaitAll(std::span<Waitable* const> objects, int timeoutMs) {
  CheckObjects(objects, 0);
  for (std::size_t i = 0; i < objects.size(); ++i)
    for (std::size_t j = i + 1; j < objects.size(); ++j)
      if (objects[i] == objects[j]) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);

  Deadline deadline(timeoutMs);
  for (;;) {
    std::size_t taken = 0;
    while (taken < objects.size() && objects[taken]->TryAcquire()) ++taken;
    if (taken == objects.size()) return true;
    // Never sit on part of the set: give it back and wait for the missing one.
    for (std::size_t i = taken; i-- > 0;) objects[i]->ReturnAcquired();
    if (deadline.Expired()) return false;
    pollfd missing{objects[taken]->fd(), POLLIN, 0};
    Poll(&missing, 1, deadline);
  }
}

}  // namespace platform
