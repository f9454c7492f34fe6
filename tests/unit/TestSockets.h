#pragma once
// A connected pair of loopback TCP sockets made through the platform layer, and raw I/O on it,
// the same on Linux and Windows.
#include <gtest/gtest.h>

#include <cstddef>
#include <string_view>

#include "platform/Socket.h"
#include "platform/UniqueFd.h"
#include "platform/Wait.h"

namespace testsys {

struct SocketPair {
  SocketPair() {
    platform::UniqueFd listener;
    uint16_t port = 0;
    platform::Ipv4Endpoint peer;
    EXPECT_EQ(platform::ListenTcp("127.0.0.1", "0", 1, listener), 0);
    EXPECT_EQ(platform::LocalPort(listener.Get(), port), 0);
    EXPECT_EQ(platform::ParseIpv4("127.0.0.1", port, peer), 0);
    EXPECT_EQ(platform::OpenTcpSocket(a), 0);
    EXPECT_EQ(platform::Connect(a.Get(), peer, nullptr), 0);
    const int l = listener.Get();
    EXPECT_EQ(platform::WaitAnyFd(std::span(&l, 1), {}, 10000), 0);
    platform::Ipv4Endpoint from;
    EXPECT_EQ(platform::Accept(l, b, from), 0);
    fds[0] = a.Get();
    fds[1] = b.Get();
  }
  platform::UniqueFd a, b;
  int fds[2] = {-1, -1};
};

inline bool SendAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  return platform::SendExact(fd, bytes.data(), bytes.size(), nullptr, done) == 0;
}

// Up to `length` bytes, waiting at most timeoutMs for the first; the count, or -1.
inline long ReceiveUpTo(int fd, void* out, std::size_t length, int timeoutMs) {
  std::size_t got = 0;
  return platform::ReceiveSome(fd, out, length, nullptr, timeoutMs, got) == 0 ? static_cast<long>(got) : -1;
}

}  // namespace testsys
