#include "platform/PollNow.h"

#include <poll.h>

#include <cerrno>

#include "sov/base/BaseException.h"

namespace platform {

std::vector<Readiness> PollNow(std::span<const PollFd> fds) {
  std::vector<pollfd> set;
  set.reserve(fds.size());
  for (const PollFd& f : fds) {
    short events = 0;
    if (f.events & kWaitReadable) events |= POLLIN;
    if (f.events & kWaitWritable) events |= POLLOUT;
    set.push_back({f.fd, events, 0});
  }
  while (::poll(set.data(), set.size(), 0) < 0)
    if (errno != EINTR) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  std::vector<Readiness> out;
  out.reserve(set.size());
  for (const pollfd& p : set)
    out.push_back({(p.revents & POLLIN) != 0, (p.revents & POLLOUT) != 0,
                   (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0});
  return out;
}

}  // namespace platform
