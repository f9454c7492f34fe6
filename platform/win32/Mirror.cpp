// The mirror is a manual-reset event: signalled while armed, so WaitForMultipleObjects sees it.
#include "platform/Mirror.h"

#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform::mirror {

int Open() {
  HANDLE h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (h == nullptr) throw ErrCodeException(win32::ErrnoFromWin32(::GetLastError()), ZEP_SOURCE, __LINE__);
  return win32::FromHandle(h);
}

void Arm(int fd) {
  ::SetEvent(win32::ToHandle(fd));
}

void Disarm(int fd) {
  ::ResetEvent(win32::ToHandle(fd));
}

void Close(int fd) {
  if (fd >= 0) ::CloseHandle(win32::ToHandle(fd));
}

}  // namespace platform::mirror
