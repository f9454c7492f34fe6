#pragma once
// The raw socket calls a test makes beside the platform layer, the same on Linux and Windows:
// reading back an option the code under test set, and ending a connection with a reset.
// Apart from TestSockets.h, because winsock2.h brings windows.h, which renames SendMessage and
// other names tests use.
#ifdef _WIN32
#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "platform/UniqueFd.h"

namespace testsys {

#ifdef _WIN32
// The keep-alive times in seconds (Windows 10 1709 and later); MinGW's headers lack the names.
constexpr int kTcpKeepIdle = 3;       // TCP_KEEPALIVE
constexpr int kTcpKeepInterval = 17;  // TCP_KEEPINTVL
inline SOCKET RawSocket(int fd) {
  return static_cast<SOCKET>(static_cast<unsigned>(fd));
}
#else
constexpr int kTcpKeepIdle = TCP_KEEPIDLE;
constexpr int kTcpKeepInterval = TCP_KEEPINTVL;
inline int RawSocket(int fd) {
  return fd;
}
#endif

// An int option's value; -1 when the system cannot read it. (Windows writes a boolean option as
// one byte, so the rest must start at zero.)
inline int IntOption(int fd, int level, int name) {
  int value = 0;
#ifdef _WIN32
  int length = sizeof(value);
#else
  socklen_t length = sizeof(value);
#endif
  if (::getsockopt(RawSocket(fd), level, name, reinterpret_cast<char*>(&value), &length) != 0) return -1;
  return value;
}

// Closes the socket with a reset instead of an orderly end (a zero linger time), so that the
// other end's next send fails at once instead of after one more send has gone out.
inline void CloseWithReset(platform::UniqueFd& socket) {
  linger abort{};
  abort.l_onoff = 1;
  abort.l_linger = 0;
  ::setsockopt(RawSocket(socket.Get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
               sizeof(abort));
  socket.Reset();
}

}  // namespace testsys
