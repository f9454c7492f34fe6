#include <windows.h>
// bcrypt.h needs the types of windows.h first.
#include <bcrypt.h>

#include <algorithm>

#include "platform/Guid.h"
#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform {

void RandomBytes(void* out, std::size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    ULONG n = static_cast<ULONG>(std::min<std::size_t>(size, 0x10000000));
    NTSTATUS status = ::BCryptGenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) throw ErrCodeException(EIO, ZEP_SOURCE, __LINE__);
    p += n;
    size -= n;
  }
}

}  // namespace platform
