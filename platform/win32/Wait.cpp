// The waits on WaitForMultipleObjects: every Waitable's descriptor is a handle that is
// signalled while the object can be taken, and the signal itself is taken with TryAcquire, as
// on Linux. Sockets cannot join a WaitForMultipleObjects without being switched into event
// mode, so a wait over sockets and objects together polls the sockets (WSAPoll) in short
// slices and looks at the objects between slices.
#include <algorithm>
#include <array>
#include <chrono>

#include "platform/Waitable.h"
#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform {

Waitable::~Waitable() = default;

namespace {

using Clock = std::chrono::steady_clock;

// Longest time an object's signal waits to be seen while sockets are polled.
constexpr int kSliceMs = 2;

class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : infinite_(timeoutMs < 0), end_(Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0))) {}

  bool Expired() const { return !infinite_ && Clock::now() >= end_; }

  // Milliseconds left, rounded up so a wait never ends before the deadline; INFINITE for no limit.
  DWORD Remaining() const {
    if (infinite_) return INFINITE;
    auto left = std::max(Clock::duration::zero(), end_ - Clock::now());
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    return static_cast<DWORD>((us + 999) / 1000);
  }

 private:
  bool infinite_;
  Clock::time_point end_;
};

void CheckObjects(std::span<Waitable* const> objects, std::size_t fdCount) {
  if (objects.size() + fdCount > kMaxWaitObjects)
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  for (Waitable* o : objects)
    if (o == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

// Waits for any handle, at most timeoutMs; true when one is signalled.
bool WaitHandles(const HANDLE* handles, std::size_t count, DWORD timeoutMs) {
  if (count == 0) {
    ::Sleep(timeoutMs);
    return false;
  }
  DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
  if (r == WAIT_FAILED) throw ErrCodeException(win32::ErrnoFromWin32(::GetLastError()), ZEP_SOURCE, __LINE__);
  return r != WAIT_TIMEOUT;
}

short ToPollEvents(short events) {
  short out = 0;
  if (events & kWaitReadable) out |= POLLRDNORM;
  if (events & kWaitWritable) out |= POLLWRNORM;
  return out;
}

// Polls the sockets; the index of the first ready one, or -1.
int PollSockets(WSAPOLLFD* fds, std::size_t count, int timeoutMs) {
  for (std::size_t i = 0; i < count; ++i) fds[i].revents = 0;
  int r = ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
  if (r == SOCKET_ERROR)
    throw ErrCodeException(win32::ErrnoFromWsa(::WSAGetLastError()), ZEP_SOURCE, __LINE__);
  if (r == 0) return -1;
  for (std::size_t i = 0; i < count; ++i)
    if (fds[i].revents != 0) return static_cast<int>(i);
  return -1;
}

int WaitAnyImpl(std::span<const PollFd> fds, std::span<Waitable* const> objects, int timeoutMs) {
  CheckObjects(objects, fds.size());
  const std::size_t n = objects.size();
  std::array<HANDLE, kMaxWaitObjects> handles{};
  for (std::size_t i = 0; i < n; ++i) handles[i] = win32::ToHandle(objects[i]->fd());
  std::array<WSAPOLLFD, kMaxWaitObjects> sockets{};
  for (std::size_t i = 0; i < fds.size(); ++i)
    sockets[i] = {win32::ToSocket(fds[i].fd), ToPollEvents(fds[i].events), 0};
  if (!fds.empty()) win32::EnsureWinsock();

  Deadline deadline(timeoutMs);
  for (;;) {
    // Taking in list order gives earlier objects priority.
    for (std::size_t i = 0; i < n; ++i)
      if (objects[i]->TryAcquire()) return static_cast<int>(fds.size() + i);
    if (!fds.empty()) {
      DWORD left = deadline.Remaining();
      int slice = n == 0 ? (left == INFINITE ? -1 : static_cast<int>(left))
                         : static_cast<int>(std::min<DWORD>(left, kSliceMs));
      int ready = PollSockets(sockets.data(), fds.size(), slice);
      if (ready >= 0) {
        // Signalled objects win over ready sockets.
        for (std::size_t i = 0; i < n; ++i)
          if (objects[i]->TryAcquire()) return static_cast<int>(fds.size() + i);
        return ready;
      }
    } else {
      WaitHandles(handles.data(), n, deadline.Remaining());
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
  for (std::size_t i = 0; i < fds.size(); ++i) readable[i] = {fds[i], kWaitReadable};
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
    HANDLE missing = win32::ToHandle(objects[taken]->fd());
    WaitHandles(&missing, 1, deadline.Remaining());
  }
}

}  // namespace platform
