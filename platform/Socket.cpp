// What the sockets do the same on every system, on top of each system's ReceiveSome.
#include "platform/Socket.h"

#include <cerrno>
#include <cstdint>

namespace platform {

int ReceiveExact(int fd, void* destination, std::size_t length, Waitable* interrupt, int timeoutMs,
                 std::size_t& done) {
  auto* p = static_cast<uint8_t*>(destination);
  done = 0;
  while (done < length) {
    std::size_t got = 0;
    // A timed-out piece fails as a receive past SO_RCVTIMEO does.
    if (int e = ReceiveSome(fd, p + done, length - done, interrupt, timeoutMs, got))
      return e == kSocketTimedOut ? EAGAIN : e;
    done += got;
  }
  return 0;
}

}  // namespace platform
