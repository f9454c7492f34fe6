#pragma once
// Small POSIX socket helpers shared by the transports: an owning descriptor and the
// option sets every stream socket gets.
#include <netinet/in.h>

#include <cstdint>
#include <utility>

namespace net {

// Owns one file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A new TCP/IPv4 socket (close-on-exec); TransportException on failure.
UniqueFd NewTcpSocket();
// Keep-alive after 1 s of silence, probes every 1 s, and TCP_NODELAY when asked; a failure
// throws TransportException. Then best-effort DSCP CS7 marking (IP_TOS 0xE0, SO_PRIORITY).
void ConfigureStreamSocket(int fd, bool noDelay);
void MarkControlTraffic(int fd);
void SetNonBlocking(int fd, bool nonBlocking);
// Dotted IPv4 text only (no name resolution); TransportException otherwise.
sockaddr_in MakeIpv4Address(const char* dottedAddress, uint16_t port);
// Waits until fd has one of the events or interruptFd (when >= 0) is readable.
// Returns the revents of fd, 0 on time-out; InterruptException when interrupted.
short PollWithInterrupt(int fd, short events, int timeoutMs, int interruptFd);

}  // namespace net
