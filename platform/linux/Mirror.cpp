#include "platform/Mirror.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace platform::mirror {

int Open() {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  return fd;
}

// The mirror only ever moves between 0 and 1, so neither call can hit the
// counter's limits; EAGAIN on read just means it was already clear.
void Arm(int fd) {
  const uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0) {
    if (errno != EINTR) {
      LOGE << "eventfd write failed: " << SystemErrorText(errno);
      return;
    }
  }
}

void Disarm(int fd) {
  uint64_t value = 0;
  while (::read(fd, &value, sizeof value) < 0) {
    if (errno != EINTR) {
      if (errno != EAGAIN) LOGE << "eventfd read failed: " << SystemErrorText(errno);
      return;
    }
  }
}

void Close(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace platform::mirror
