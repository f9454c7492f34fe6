#pragma once
// Small POSIX socket helpers shared by the transports: an owning descriptor and the
// option sets every stream socket gets.
#include <netinet/in.h>

#include <cstdint>
#include <utility>

#include "platform/UniqueFd.h"

namespace net {

using platform::UniqueFd;

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
