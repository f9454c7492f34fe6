#include "platform/Guid.h"

#include <objbase.h>

#include <cstring>

#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform {

// The system's own version-4 GUID (CoCreateGuid needs no COM initialisation). GUID has the
// in-memory layout that FromBytes reads.
Guid Guid::NewRandom() {
  GUID created{};
  HRESULT hr = ::CoCreateGuid(&created);
  if (FAILED(hr)) throw ErrCodeException(win32::ErrnoFromWin32(HRESULT_CODE(hr)), ZEP_SOURCE, __LINE__);
  static_assert(sizeof(GUID) == 16);
  std::array<uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), &created, bytes.size());
  return FromBytes(bytes);
}

}  // namespace platform
