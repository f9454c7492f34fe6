#pragma once
// Whether an object's descriptor reports it signalled right now, without taking the signal.
// Apart from TestSockets.h, because windows.h renames SendMessage and other names tests use.
#include "platform/Waitable.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#endif

namespace testsys {

// True while the object's descriptor (a handle on Windows) reports it signalled.
inline bool Signalled(const platform::Waitable& w) {
#ifdef _WIN32
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(w.fd()));
  return ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
#else
  pollfd p{w.fd(), POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
#endif
}

}  // namespace testsys
