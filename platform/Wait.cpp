// The waits' rules, the same on every system; the blocking itself is the backend's
// (platform/<system>/Wait.cpp).
#include <array>

#include "platform/WaitBackend.h"
#include "platform/Waitable.h"
#include "sov/base/BaseException.h"

namespace platform {

Waitable::~Waitable() = default;

namespace {

using wait_backend::Deadline;

void CheckObjects(std::span<Waitable* const> objects, std::size_t fdCount) {
  if (objects.size() + fdCount > kMaxWaitObjects)
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  for (Waitable* o : objects)
    if (o == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

}  // namespace

int WaitAny(std::span<Waitable* const> objects, int timeoutMs) {
  return WaitAnyFd(std::span<const PollFd>(), objects, timeoutMs);
}

int WaitAnyFd(std::span<const PollFd> fds, std::span<Waitable* const> objects, int timeoutMs) {
  CheckObjects(objects, fds.size());
  return wait_backend::WaitAny(fds, objects, Deadline(timeoutMs));
}

int WaitAnyFd(std::span<const int> fds, std::span<Waitable* const> objects, int timeoutMs) {
  if (fds.size() > kMaxWaitObjects) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  std::array<PollFd, kMaxWaitObjects> readable{};
  for (std::size_t i = 0; i < fds.size(); ++i) readable[i] = {fds[i], kWaitReadable};
  return WaitAnyFd(std::span<const PollFd>(readable.data(), fds.size()), objects, timeoutMs);
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
    wait_backend::WaitSignalled(*objects[taken], deadline);
  }
}

}  // namespace platform
