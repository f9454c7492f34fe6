#include "zep/overlay/ConfirmEvent.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/Log.h"

namespace overlay {

void SetConfirmSessionEvent(const std::string& fifoPath) {
  // Non-blocking: an open for writing would otherwise wait for a reader that may never come.
  const int fd = ::open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENXIO) {
      LOGE << "ConfirmSessionEvent not found";
      return;
    }
    THROW_ERRNO();
  }
  const char byte = 1;
  const ssize_t written = ::write(fd, &byte, 1);
  const int err = errno;
  ::close(fd);
  if (written != 1) THROW_ERRCODE(err);
  LOGI << "ConfirmSessionEvent set";
}

}  // namespace overlay
