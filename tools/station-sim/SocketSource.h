#pragma once
// Adapts a station socket to the exact-length reading of sov/protocol (ReadMessage): every wait
// also watches the stop signal, and the end of the connection comes out as ChannelEnd.
#include <cstdint>
#include <stdexcept>

#include "tools/station-sim/Net.h"

namespace station {

struct ChannelEnd : std::runtime_error {
  explicit ChannelEnd(IoResult r) : std::runtime_error(IoResultName(r)), result(r) {}
  IoResult result;
};

class SocketSource {
 public:
  SocketSource(int fd, const StopSignal& stop) : fd_(fd), stop_(stop) {}
  uint8_t ReceiveMessageType() {
    uint8_t type = 0;
    ReceiveBuffer(&type, 1);
    return type;
  }
  void* ReceiveBuffer(void* dest, std::size_t size) {
    IoResult r = RecvExact(fd_, dest, size, stop_);
    if (r != IoResult::Ok) throw ChannelEnd(r);
    return dest;
  }

 private:
  int fd_;
  const StopSignal& stop_;
};

}  // namespace station
