#include "platform/Thread.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace platform {

bool RaiseThreadPriority(const char* purpose) {
  const char* what = purpose ? purpose : "thread";
  HANDLE self = ::GetCurrentThread();
  if (::GetThreadPriority(self) >= THREAD_PRIORITY_HIGHEST) return true;
  if (::SetThreadPriority(self, THREAD_PRIORITY_HIGHEST)) {
    LOGD << what << ": thread priority raised to highest";
    return true;
  }
  LOGD << what
       << ": cannot raise thread priority: " << SystemErrorText(win32::ErrnoFromWin32(::GetLastError()));
  return false;
}

void SetThreadName(const char* name) {
  if (name == nullptr) return;
  // SetThreadDescription exists from Windows 10 1607 on; older systems keep unnamed threads.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = [] {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel != nullptr ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    return reinterpret_cast<SetDescription>(reinterpret_cast<void*>(proc));
  }();
  if (setDescription == nullptr) return;
  // Cut like the Linux thread names, so logs and debuggers show the same name on both.
  std::string shortName(name, ::strnlen(name, 15));
  setDescription(::GetCurrentThread(), win32::Widen(shortName).c_str());
}

}  // namespace platform
