#pragma once
// Test peers over real loopback UDP: a lossy relay between a client and a station, and a minimal
// KCP station. Everything is non-blocking and pumped by the caller's loop.
#ifdef _WIN32
#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <ctime>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "sov/kcp/KcpProtocol.h"

namespace kcptest {

using Bytes = std::vector<uint8_t>;

inline int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The few socket calls the relay makes, the same on Winsock (char buffers, closesocket).
inline void CloseUdp(int fd) {
#ifdef _WIN32
  ::closesocket(static_cast<SOCKET>(fd));
#else
  ::close(fd);
#endif
}
inline void SendTo(int fd, const void* data, std::size_t n, const sockaddr_in& to) {
  ::sendto(fd, static_cast<const char*>(data), static_cast<int>(n), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}
inline long ReceiveFrom(int fd, void* data, std::size_t n, sockaddr_in& from) {
#ifdef _WIN32
  int fl = sizeof from;
#else
  socklen_t fl = sizeof from;
#endif
  return ::recvfrom(fd, static_cast<char*>(data), static_cast<int>(n), 0, reinterpret_cast<sockaddr*>(&from),
                    &fl);
}

inline uint32_t Loopback() {
  return htonl(INADDR_LOOPBACK);
}

// A non-blocking UDP socket bound to 127.0.0.1 on an ephemeral port.
inline int BoundUdp(uint16_t* port) {
#ifdef _WIN32
  WSADATA wsa{};
  ::WSAStartup(MAKEWORD(2, 2), &wsa);  // counted; the platform layer starts it too
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket");
  int fd = static_cast<int>(s);
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
#else
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
#endif
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = Loopback();
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  int size = 8 << 20;
#ifdef _WIN32
  int len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
#else
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
#endif
  *port = ntohs(a.sin_port);
  return fd;
}

struct RelayOptions {
  int lossPercent = 0;
  int dupPercent = 0;
  int reorderPercent = 0;  // held back by an extra 5..15 ms
  int delayMs = 0;         // one way
  int jitterMs = 0;
  unsigned seed = 1;
};

// Forwards datagrams between the client (whoever writes to FrontPort) and a station port, losing,
// duplicating, reordering and delaying them as configured.
class UdpRelay {
 public:
  UdpRelay(uint16_t stationPort, RelayOptions o) : o_(o), rng_(o.seed) {
    front_ = BoundUdp(&frontPort_);
    uint16_t unused;
    back_ = BoundUdp(&unused);
    station_.sin_family = AF_INET;
    station_.sin_addr.s_addr = Loopback();
    station_.sin_port = htons(stationPort);
  }
  ~UdpRelay() {
    CloseUdp(front_);
    CloseUdp(back_);
  }
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  uint16_t FrontPort() const { return frontPort_; }
  uint64_t Dropped() const { return dropped_; }
  uint64_t Forwarded() const { return forwarded_; }

  void Pump() {
    Read(front_, true);
    Read(back_, false);
    int64_t now = NowUs();
    while (!pending_.empty() && pending_.begin()->first <= now) {
      auto& [toStation, data] = pending_.begin()->second;
      if (toStation)
        SendTo(back_, data.data(), data.size(), station_);
      else if (haveClient_)
        SendTo(front_, data.data(), data.size(), client_);
      ++forwarded_;
      pending_.erase(pending_.begin());
    }
  }

 private:
  void Read(int fd, bool fromClient) {
    for (;;) {
      sockaddr_in from{};
      long n = ReceiveFrom(fd, buf_.data(), buf_.size(), from);
      if (n < 0) return;
      if (fromClient) {
        client_ = from;
        haveClient_ = true;
      }
      if (Roll(o_.lossPercent)) {
        ++dropped_;
        continue;
      }
      int copies = Roll(o_.dupPercent) ? 2 : 1;
      for (int c = 0; c < copies; ++c) {
        int64_t delay = int64_t{o_.delayMs} * 1000;
        if (o_.jitterMs > 0) delay += static_cast<int64_t>(rng_() % (o_.jitterMs * 1000));
        if (Roll(o_.reorderPercent)) delay += 5000 + static_cast<int64_t>(rng_() % 10000);
        pending_.emplace(NowUs() + delay, std::make_pair(fromClient, Bytes(buf_.begin(), buf_.begin() + n)));
      }
    }
  }
  bool Roll(int percent) { return percent > 0 && static_cast<int>(rng_() % 100) < percent; }

  RelayOptions o_;
  std::mt19937 rng_;
  int front_ = -1, back_ = -1;
  uint16_t frontPort_ = 0;
  sockaddr_in station_{}, client_{};
  bool haveClient_ = false;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);
  std::multimap<int64_t, std::pair<bool, Bytes>> pending_;
  uint64_t dropped_ = 0, forwarded_ = 0;
};

// The station's end of one conversation: answers whoever wrote to it last.
class KcpStation {
 public:
  explicit KcpStation(uint32_t conv) {
    fd_ = BoundUdp(&port_);
    kcp_ = std::make_unique<kcp::KcpProtocol>(conv, [this](std::span<const kcp::Datagram> b) {
      if (!havePeer_) return;
      for (auto d : b) SendTo(fd_, d.data(), d.size(), peer_);
    });
    kcp_->SetNoDelay(2, 2, 1, 1);
    kcp_->SetMinRto(10);
    kcp_->SetWindowSize(1024, 1024);
  }
  ~KcpStation() { CloseUdp(fd_); }
  KcpStation(const KcpStation&) = delete;
  KcpStation& operator=(const KcpStation&) = delete;

  uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  kcp::KcpProtocol& Kcp() { return *kcp_; }
  uint64_t Ignored() const { return ignored_; }

  // Reads pending datagrams, runs the timer and collects complete messages.
  void Pump() {
    for (;;) {
      sockaddr_in from{};
      long n = ReceiveFrom(fd_, buf_.data(), buf_.size(), from);
      if (n < 0) break;
      peer_ = from;
      havePeer_ = true;
      if (!kcp_->Input(buf_.data(), static_cast<std::size_t>(n))) ++ignored_;
    }
    kcp_->Update(static_cast<uint32_t>(NowUs() / 1000));
    for (;;) {
      Bytes m;
      if (!kcp_->Deliver([&](const uint8_t* p, std::size_t n) { m.insert(m.end(), p, p + n); })) break;
      received.push_back(std::move(m));
    }
  }
  // Writes raw bytes to the peer, bypassing KCP.
  void SendRaw(const Bytes& d) { SendTo(fd_, d.data(), d.size(), peer_); }
  bool HavePeer() const { return havePeer_; }

  std::vector<Bytes> received;

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in peer_{};
  bool havePeer_ = false;
  std::unique_ptr<kcp::KcpProtocol> kcp_;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);
  uint64_t ignored_ = 0;
};

}  // namespace kcptest
