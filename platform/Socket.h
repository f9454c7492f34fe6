#pragma once
// IPv4 TCP and UDP sockets: the few calls the transports make, nothing more. Calls return 0
// or an errno value, or one of the kSocket* results below; the transports turn these into
// their exceptions. Every wait also ends when the interrupt object (may be null) is signalled.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/UniqueFd.h"

namespace platform {

class Waitable;

// Results beside errno values (all negative, so they never clash with one).
constexpr int kSocketInterrupted = -1;  // the interrupt object was signalled
constexpr int kSocketTimedOut = -2;     // the wait's time ran out
constexpr int kSocketEndOfStream = -3;  // the peer ended the stream

// An IPv4 address in network byte order and a port in host order.
struct Ipv4Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
};

// Dotted IPv4 text only, never a host name; EINVAL otherwise.
int ParseIpv4(const char* dotted, uint16_t port, Ipv4Endpoint& out);

// A close-on-exec TCP socket.
int OpenTcpSocket(UniqueFd& out);
// Keep-alive probing after 1 s of silence and every 1 s after, TCP_NODELAY when asked, then
// MarkControlTraffic.
int ConfigureStreamSocket(int fd, bool noDelay);
int SetNoDelay(int fd);
// DSCP CS7 and a raised socket priority; best effort, as an unprivileged socket may be refused.
void MarkControlTraffic(int fd);
int SetNonBlocking(int fd, bool nonBlocking);

// Connects, waiting without limit unless interrupted; the socket's blocking mode is kept.
int Connect(int fd, const Ipv4Endpoint& peer, Waitable* interrupt);
// Starts a connect on a non-blocking socket: 0 when done at once, EINPROGRESS while under way.
int StartConnect(int fd, const Ipv4Endpoint& peer);
// Waits up to timeoutMs (negative: no limit) for a started connect; 0 once connected,
// kSocketTimedOut, kSocketInterrupted, or the connection's failure.
int FinishConnect(int fd, int timeoutMs, Waitable* interrupt);

// Moves exactly `length` bytes whatever the socket's blocking mode, waiting while the socket
// is not ready; `done` tells how many moved. A receive waits at most timeoutMs (negative: no
// limit) for each piece. Sends never raise SIGPIPE.
int ReceiveExact(int fd, void* destination, std::size_t length, Waitable* interrupt, int timeoutMs,
                 std::size_t& done);
int SendExact(int fd, const void* source, std::size_t length, Waitable* interrupt, std::size_t& done);
// One receive of whatever is there within timeoutMs; `got` > 0 on success.
int ReceiveSome(int fd, void* destination, std::size_t length, Waitable* interrupt, int timeoutMs,
                std::size_t& got);

int ShutdownSend(int fd);
// Ends both directions; a receive or send blocked in another thread returns.
void ShutdownBoth(int fd);

// A non-blocking listening socket on host:service (resolved for IPv4 only) with SO_REUSEADDR,
// TCP_NODELAY and the control-traffic marking.
int ListenTcp(const char* host, const char* service, int backlog, UniqueFd& out);
// Takes one pending connection: 0, EAGAIN when none waits, or errno.
int Accept(int listeningFd, UniqueFd& out, Ipv4Endpoint& peer);
int LocalPort(int fd, uint16_t& port);

// A non-blocking UDP socket connected to the peer, so that only the peer's datagrams arrive,
// with both buffers asked for bufferSize bytes.
int OpenConnectedUdp(const Ipv4Endpoint& peer, int bufferSize, UniqueFd& out);
// Sends every datagram in order, waiting out a full socket buffer.
int SendDatagrams(int fd, std::span<const std::span<const uint8_t>> datagrams, Waitable* interrupt);
// Waits up to waitMs for the first datagram, then takes as many as are there, up to one per
// slot; lengths[i] is the size of the datagram in slots[i]. EMSGSIZE when one was cut short.
int ReceiveDatagrams(int fd, std::span<const std::span<uint8_t>> slots, std::span<std::size_t> lengths,
                     int waitMs, Waitable* interrupt, std::size_t& count);

}  // namespace platform
