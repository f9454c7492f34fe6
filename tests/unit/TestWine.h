#pragma once
// Whether the test runs under Wine, for the few cases Wine cannot run (each skips with its reason).
#ifdef _WIN32
#include <windows.h>
#endif

namespace testsys {

inline bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace testsys
