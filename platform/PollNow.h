#pragma once
// Which of several descriptors are ready right now, without waiting (after a wait has said
// that at least one is).
#include <span>
#include <vector>

#include "platform/Waitable.h"

namespace platform {

struct Readiness {
  bool readable = false;
  bool writable = false;
  bool failed = false;  // an error or hang-up (the socket's own reads and writes tell which)
};

// The readiness of each descriptor, in order.
std::vector<Readiness> PollNow(std::span<const PollFd> fds);

}  // namespace platform
