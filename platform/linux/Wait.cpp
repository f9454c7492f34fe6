// The Linux waits: every Waitable's descriptor is readable while the object can be taken, so
// objects and descriptors share one ppoll.
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>

#include "platform/WaitBackend.h"
#include "sov/base/BaseException.h"

static_assert(platform::kWaitReadable == POLLIN && platform::kWaitWritable == POLLOUT);

namespace platform::wait_backend {

namespace {

// Polls; true when something is ready, false when the time ran out or a signal
// interrupted the call (the caller re-checks its objects either way).
bool Poll(pollfd* fds, std::size_t count, const Deadline& deadline) {
  timespec ts{};
  if (!deadline.Infinite()) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.Left()).count();
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  int r = ::ppoll(fds, static_cast<nfds_t>(count), deadline.Infinite() ? nullptr : &ts, nullptr);
  if (r < 0) {
    if (errno == EINTR) return false;
    throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  }
  return r > 0;
}

}  // namespace

int WaitAny(std::span<const PollFd> fds, std::span<Waitable* const> objects, const Deadline& deadline) {
  const std::size_t n = objects.size();
  std::array<pollfd, kMaxWaitObjects> pfds{};
  for (std::size_t i = 0; i < n; ++i) pfds[i] = {objects[i]->fd(), POLLIN, 0};
  for (std::size_t i = 0; i < fds.size(); ++i) pfds[n + i] = {fds[i].fd, fds[i].events, 0};
  const std::size_t total = n + fds.size();

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

void WaitSignalled(const Waitable& object, const Deadline& deadline) {
  pollfd one{object.fd(), POLLIN, 0};
  Poll(&one, 1, deadline);
}

}  // namespace platform::wait_backend
