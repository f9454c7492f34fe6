#include "platform/UniqueFd.h"

#include "platform/win32/Win32.h"

namespace platform {

// A descriptor here is a socket or a kernel handle (file, lock file, process, pipe, event);
// a socket must be closed with closesocket, anything else with CloseHandle. Only a socket
// answers SO_TYPE (and no socket exists before Winsock started).
void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) {
    int type = 0;
    int len = sizeof(type);
    if (::getsockopt(win32::ToSocket(fd_), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0)
      ::closesocket(win32::ToSocket(fd_));
    else
      ::CloseHandle(win32::ToHandle(fd_));
  }
  fd_ = fd;
}

}  // namespace platform
