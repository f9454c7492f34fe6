#include "platform/PollNow.h"

#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform {

std::vector<Readiness> PollNow(std::span<const PollFd> fds) {
  win32::EnsureWinsock();
  std::vector<WSAPOLLFD> set;
  set.reserve(fds.size());
  for (const PollFd& f : fds) {
    short events = 0;
    if (f.events & kWaitReadable) events |= POLLRDNORM;
    if (f.events & kWaitWritable) events |= POLLWRNORM;
    set.push_back({win32::ToSocket(f.fd), events, 0});
  }
  if (!set.empty() && ::WSAPoll(set.data(), static_cast<ULONG>(set.size()), 0) == SOCKET_ERROR)
    throw ErrCodeException(win32::ErrnoFromWsa(::WSAGetLastError()), ZEP_SOURCE, __LINE__);
  std::vector<Readiness> out;
  out.reserve(set.size());
  for (const WSAPOLLFD& p : set)
    out.push_back({(p.revents & POLLRDNORM) != 0, (p.revents & POLLWRNORM) != 0,
                   (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0});
  return out;
}

}  // namespace platform
