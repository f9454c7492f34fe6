// Input latency: from the window thread's handling of a key or mouse event to the event's bytes
// arriving at a station socket on loopback. The path is the real one: InputCapture translates the
// event and puts it into the control queue, KeyMouseGrabberThreadProc takes it and sends it over
// its TCP connection; a listener in this process stands in for the station and stamps each
// record as its last byte arrives. Beside it, the same records written straight to a socket from
// the producing thread give the floor the loopback itself sets.
//   bench_input [--events N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/HPCWrapper.h"
#include "sov/protocol/Codec.h"
#include "zep/channels/ChannelThreads.h"
#include "zep/input/InputCapture.h"

namespace {

constexpr std::size_t kGreeting = 276;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int Listen(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(fd, 1);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return fd;
}

bool ReadExactly(int fd, uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

struct Stats {
  double p50 = 0, p99 = 0, max = 0;
};

Stats Summarise(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
  return {at(0.5), at(0.99), us.back()};
}

// One record every `gapUs`, alternating a key press (22 bytes) and a mouse move (36 bytes);
// produce(i) must hand record i to the path under test.
template <class Produce>
std::vector<double> Measure(int conn, int events, Produce&& produce) {
  std::vector<int64_t> sent(static_cast<std::size_t>(events));
  std::vector<double> latencyUs(static_cast<std::size_t>(events));
  std::thread reader([&] {
    uint8_t buf[64];
    for (int i = 0; i < events;) {
      if (!ReadExactly(conn, buf, 1)) return;
      if (buf[0] == proto::kKeepAlive) continue;
      const std::size_t rest = proto::HumanControlWireSize(buf[0]) - 1;
      if (!ReadExactly(conn, buf + 1, rest)) return;
      latencyUs[static_cast<std::size_t>(i)] = (NowNs() - sent[static_cast<std::size_t>(i)]) / 1000.0;
      ++i;
    }
  });
  for (int i = 0; i < events; ++i) {
    sent[static_cast<std::size_t>(i)] = NowNs();
    produce(i);
    std::this_thread::sleep_for(std::chrono::microseconds(1000));
  }
  reader.join();
  return latencyUs;
}

}  // namespace

int main(int argc, char** argv) {
  int events = 4000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--events") events = std::max(100, std::atoi(argv[++i]));

  uint16_t port = 0;
  const int listener = Listen(port);

  // The real path.
  StationAddress station;
  station.address = "127.0.0.1";
  station.humanControlPort = port;
  SessionShared shared;
  StatsTable table;
  BlockingQueue<HUMAN_CONTROL_EVENT_PACKET> queue(shared.interrupt, 1024);
  ChannelContext context{station, shared, table};
  context.controlEvents = &queue;
  std::thread sender([&] { KeyMouseGrabberThreadProc(context); });
  const int conn = accept(listener, nullptr, nullptr);
  uint8_t greeting[kGreeting];
  if (conn < 0 || !ReadExactly(conn, greeting, kGreeting)) {
    std::fprintf(stderr, "the control sender did not connect\n");
    return 1;
  }
  input::InputCapture capture([&](const HUMAN_CONTROL_EVENT_PACKET& p) { return queue.tryPush(p); },
                              [] { return input::InputCapture::Scale{}; });
  capture.SetClientSize(1920, 1080);
  capture.SetActive(true);
  capture.SetPointerInside(true);
  uint8_t skip[2];
  ReadExactly(conn, skip, 2);  // the release that activation sends
  const Stats real = Summarise(Measure(conn, events, [&](int i) {
    if (i % 2 == 0)
      capture.OnKey(SDL_SCANCODE_W, SDLK_w, (i / 2) % 2 == 0, {});
    else
      capture.OnMotion(100 + i % 500, 200, 0, 0);
  }));

  // The floor: the same bytes written from the producing thread.
  uint16_t port2 = 0;
  const int listener2 = Listen(port2);
  const int out = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(out, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port2);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(out, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  const int conn2 = accept(listener2, nullptr, nullptr);
  const Stats floor = Summarise(Measure(conn2, events, [&](int i) {
    proto::HC_KEYBOARD_EVENT key;
    proto::HC_MOUSE_EVENT mouse;
    proto::Bytes bytes;
    proto::AppendHumanControlEvent(
        bytes, i % 2 == 0 ? HUMAN_CONTROL_EVENT_PACKET::From(key) : HUMAN_CONTROL_EVENT_PACKET::From(mouse));
    send(out, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }));

  std::printf("input event to bytes at the station, %d events (1 ms apart), microseconds\n", events);
  std::printf("%-44s %8s %8s %8s\n", "path", "p50", "p99", "max");
  std::printf("%-44s %8.1f %8.1f %8.1f\n", "capture -> queue -> sender thread -> TCP", real.p50, real.p99,
              real.max);
  std::printf("%-44s %8.1f %8.1f %8.1f\n", "direct send from the producer (floor)", floor.p50, floor.p99,
              floor.max);
  std::printf("ratio p50 %.2f, p99 %.2f\n", real.p50 / floor.p50, real.p99 / floor.p99);
  std::fflush(stdout);
  std::_Exit(0);  // the sender thread ends with the process, as in the client
}
