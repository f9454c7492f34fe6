#pragma once
// Which of several descriptors are ready right now, without waiting (after a wait has said
// that at least one is).
#include <span>
#include <vector>

#include "platform/Waitable.h"

namespace platform {

// revents of each descriptor, in order; POLLERR, POLLHUP and POLLNVAL are reported as poll does.
std::vector<short> PollNow(std::span<const PollFd> fds);

}  // namespace platform
