#pragma once
// Helpers shared by the Win32 platform files: handles and sockets travel through the
// portable interfaces as int descriptors (kernel handles and sockets fit in 32 bits, and
// INVALID_HANDLE_VALUE becomes -1), Win32 and Winsock errors become errno values, and
// UTF-8 paths become wide strings.
#include <windows.h>
#include <winsock2.h>
// bcrypt.h needs the types of windows.h first.
#include <bcrypt.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::win32 {

inline HANDLE ToHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}
inline int FromHandle(HANDLE h) {
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}
inline SOCKET ToSocket(int fd) {
  return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned>(fd));
}
inline int FromSocket(SOCKET s) {
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

// The errno value nearest to a Win32 error (GetLastError); EIO for the rest.
int ErrnoFromWin32(DWORD error);
// The errno value nearest to a Winsock error (WSAGetLastError); unknown codes pass unchanged
// (all above 10000, so they never clash with an errno value).
int ErrnoFromWsa(int error);

// Starts Winsock once per process (never undone: sockets may live until exit).
void EnsureWinsock();

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

}  // namespace platform::win32
