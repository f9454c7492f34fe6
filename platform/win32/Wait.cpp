// The waits on WaitForMultipleObjects: every Waitable's descriptor is a handle that is
// signalled while the object can be taken, and the signal itself is taken with TryAcquire, as
// on Linux. Sockets cannot join a WaitForMultipleObjects without being switched into event
// mode, so a wait over sockets and objects together polls the sockets (WSAPoll) in short
// slices and looks at the objects between slices.
#include <algorithm>
#include <array>

#include "platform/WaitBackend.h"
#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform::wait_backend {

namespace {

// Longest time an object's signal waits to be seen while sockets are polled.
constexpr int kSliceMs = 2;

// Milliseconds left, rounded up so a wait never ends before the deadline; INFINITE for no limit.
DWORD Remaining(const Deadline& deadline) {
  if (deadline.Infinite()) return INFINITE;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline.Left()).count();
  return static_cast<DWORD>((us + 999) / 1000);
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

}  // namespace

int WaitAny(std::span<const PollFd> fds, std::span<Waitable* const> objects, const Deadline& deadline) {
  const std::size_t n = objects.size();
  std::array<HANDLE, kMaxWaitObjects> handles{};
  for (std::size_t i = 0; i < n; ++i) handles[i] = win32::ToHandle(objects[i]->fd());
  std::array<WSAPOLLFD, kMaxWaitObjects> sockets{};
  for (std::size_t i = 0; i < fds.size(); ++i)
    sockets[i] = {win32::ToSocket(fds[i].fd), ToPollEvents(fds[i].events), 0};
  if (!fds.empty()) win32::EnsureWinsock();

  for (;;) {
    // Taking in list order gives earlier objects priority.
    for (std::size_t i = 0; i < n; ++i)
      if (objects[i]->TryAcquire()) return static_cast<int>(fds.size() + i);
    if (!fds.empty()) {
      DWORD left = Remaining(deadline);
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
      WaitHandles(handles.data(), n, Remaining(deadline));
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
  HANDLE handle = win32::ToHandle(object.fd());
  WaitHandles(&handle, 1, Remaining(deadline));
}

}  // namespace platform::wait_backend
