#include "platform/PollNow.h"

#include <poll.h>

#include <cerrno>

#include "sov/base/BaseException.h"

namespace platform {

std::vector<short> PollNow(std::span<const PollFd> fds) {
  std::vector<pollfd> set;
  set.reserve(fds.size());
  for (const PollFd& f : fds) set.push_back({f.fd, f.events, 0});
  while (::poll(set.data(), set.size(), 0) < 0)
    if (errno != EINTR) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  std::vector<short> out;
  out.reserve(set.size());
  for (const pollfd& p : set) out.push_back(p.revents);
  return out;
}

}  // namespace platform
