// Endpoint ranking wall time: 10 loopback stations that answer probes, against the same with
// one of them unreachable (a listening socket whose accept queue is full, so the kernel drops
// further SYNs and the connect stays pending until the ranking's 3 s deadline).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/Event.h"
#include "zeps/EndpointRanking.h"

namespace {

int Listen(int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(fd, backlog);
  return fd;
}

uint16_t PortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// Answers every 'h' with 'h' on every connection and closes when the peer does, until stopped.
class ProbeResponder {
 public:
  ProbeResponder() : listener_(Listen(64)), thread_([this] { Run(); }) {}
  ~ProbeResponder() {
    stop_ = true;
    thread_.join();
    for (int fd : conns_) close(fd);
    close(listener_);
  }
  uint16_t Port() const { return PortOf(listener_); }

 private:
  void Run() {
    while (!stop_) {
      std::vector<pollfd> set = {{listener_, POLLIN, 0}};
      for (int fd : conns_) set.push_back({fd, POLLIN, 0});
      if (poll(set.data(), set.size(), 50) <= 0) continue;
      if (set[0].revents & POLLIN) conns_.push_back(accept(listener_, nullptr, nullptr));
      for (std::size_t i = 1; i < set.size(); ++i) {
        char b;
        if (!(set[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (recv(set[i].fd, &b, 1, 0) == 1) {
          send(set[i].fd, &b, 1, MSG_NOSIGNAL);
        } else {  // the ranking closed this one, as a station does in turn
          close(set[i].fd);
          std::erase(conns_, set[i].fd);
        }
      }
    }
  }
  int listener_;
  std::vector<int> conns_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A port that never completes a connect: backlog 0 holds one queued connection, which we make.
class BlackHole {
 public:
  BlackHole() : listener_(Listen(0)) {
    filler_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(PortOf(listener_));
    connect(filler_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  ~BlackHole() {
    close(filler_);
    close(listener_);
  }
  uint16_t Port() const { return PortOf(listener_); }

 private:
  int listener_;
  int filler_ = -1;
};

void Rank(benchmark::State& state) {
  const bool withUnreachable = state.range(0) != 0;
  ProbeResponder responder;
  BlackHole hole;
  std::vector<EndpointEntry> endpoints(10);
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    endpoints[i].ip = "127.0.0.1";
    endpoints[i].basePort = responder.Port();
    endpoints[i].serverId = "s" + std::to_string(i);
  }
  if (withUnreachable) endpoints[4].basePort = hole.Port();
  platform::Event stop(true);
  std::size_t ranked = 0;
  for (auto _ : state) ranked = KeepBest(ProbeEndpoints(endpoints, stop)).size();
  state.counters["ranked"] = static_cast<double>(ranked);
}

}  // namespace

BENCHMARK(Rank)->ArgName("unreachable")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_MAIN();
