#pragma once
// Small socket helpers for the station: every wait also watches the station's stop descriptor,
// so a channel thread always ends promptly when the station stops.
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <utility>

#include "platform/UniqueFd.h"

namespace station {

// A level-triggered stop signal (an eventfd that stays readable once set).
class StopSignal {
 public:
  StopSignal();
  void Set();
  bool IsSet() const;
  int Fd() const { return fd_.Get(); }
  // Sleeps up to ms; false when the stop came first.
  bool Sleep(int64_t ms) const;

 private:
  platform::UniqueFd fd_;
};

enum class IoResult { Ok, Closed, Timeout, Stopped, Error };
const char* IoResultName(IoResult r);

// Throws std::runtime_error with the reason.
platform::UniqueFd OpenTcpListener(const std::string& address, int port);
platform::UniqueFd OpenUdpSocket(const std::string& address, int port);

// Waits for `fd` to become readable; timeoutMs < 0 waits indefinitely.
IoResult WaitReadable(int fd, const StopSignal& stop, int64_t timeoutMs);
// Receives exactly n bytes; the time-out applies to the whole read.
IoResult RecvExact(int fd, void* buf, std::size_t n, const StopSignal& stop, int64_t timeoutMs = -1);
IoResult SendAll(int fd, const void* buf, std::size_t n, const StopSignal& stop);
std::string PeerName(int fd);

}  // namespace station
