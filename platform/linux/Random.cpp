#include <sys/random.h>

#include <cerrno>

#include "platform/Guid.h"
#include "sov/base/BaseException.h"

namespace platform {

void RandomBytes(void* out, std::size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    ssize_t n = getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace platform
