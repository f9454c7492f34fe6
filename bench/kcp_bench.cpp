// KCP against TCP over the same lossy loopback link: goodput, per-message delivery latency
// (p50, p99) and the receiver's CPU time per MB, at 0 %, 2 % and 10 % packet loss.
//
// Loss comes from the kernel, so that both protocols see the same link: the benchmark moves into a
// private network namespace and drops a random share of the packets arriving on its loopback
// interface (nftables numgen), both directions, with the MTU of a real path (1500). Without root or nft it
// runs the 0 % row only. The KCP side is the client's own transport (KCPTransportBase with the client's
// settings and the configuration's default windows), the sender a KCP peer with the same settings.
//
// Each row: a bulk phase (2.5 s, sender always busy) gives goodput and CPU per MB; after the queues
// have drained, a paced phase (150 messages of 16 KiB, one every 10 ms) gives the latency from the
// sender's send call to the receiver's complete delivery.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "sov/kcp/KCPTransport.h"
#include "tests/unit/kcp/UdpRelay.h"

using namespace kcptest;

namespace {

constexpr int64_t kBulkUs = 2'500'000;
constexpr std::size_t kBulkMessage = 32768;
constexpr int kPacedCount = 150;
constexpr std::size_t kPacedMessage = 16384;
constexpr int64_t kPacedGapUs = 10'000;
constexpr int64_t kDrainLimitUs = 3'000'000;
constexpr uint32_t kWindow = 2048;  // the configuration's default video windows

enum Tag : uint32_t { kBulk = 1, kPaced = 2 };

struct Result {
  double goodputMBps = 0;
  double p50Ms = 0, p99Ms = 0;
  double cpuMsPerMB = 0;
  int pacedDelivered = 0;
};

int64_t ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void Stamp(uint8_t* p, uint32_t tag) {
  int64_t now = NowUs();
  memcpy(p, &now, 8);
  memcpy(p + 8, &tag, 4);
}

// What the receiving side records, shared by both protocols.
struct Sink {
  int64_t bulkEndUs = 0;
  uint64_t bulkBytes = 0;
  int64_t cpuStartUs = -1, cpuBulkUs = 0;
  bool cpuDone = false;
  std::atomic<uint64_t> totalBytes{0};
  std::mutex mutex;
  std::vector<double> latenciesMs;

  // A complete message whose first 12 bytes are `head`.
  void Message(const uint8_t* head, std::size_t size) {
    int64_t now = NowUs();
    int64_t sent;
    uint32_t tag;
    memcpy(&sent, head, 8);
    memcpy(&tag, head + 8, 4);
    if (tag == kBulk && now <= bulkEndUs) bulkBytes += size;
    if (tag == kPaced) {
      std::lock_guard<std::mutex> lock(mutex);
      latenciesMs.push_back(static_cast<double>(now - sent) / 1000.0);
    }
    totalBytes += size;
  }
  // Called by the receiving thread on every turn: CPU time over the bulk phase.
  void CpuTick() {
    int64_t now = NowUs();
    if (cpuStartUs < 0) cpuStartUs = ThreadCpuUs();
    if (!cpuDone && now > bulkEndUs) {
      cpuBulkUs = ThreadCpuUs() - cpuStartUs;
      cpuDone = true;
    }
  }
  Result Finish(int64_t bulkStartUs) {
    Result r;
    double seconds = static_cast<double>(bulkEndUs - bulkStartUs) / 1e6;
    double mb = static_cast<double>(bulkBytes) / 1048576.0;
    r.goodputMBps = mb / seconds;
    r.cpuMsPerMB = mb > 0 ? static_cast<double>(cpuBulkUs) / 1000.0 / mb : 0;
    std::sort(latenciesMs.begin(), latenciesMs.end());
    r.pacedDelivered = static_cast<int>(latenciesMs.size());
    if (!latenciesMs.empty()) {
      r.p50Ms = latenciesMs[latenciesMs.size() / 2];
      r.p99Ms = latenciesMs[std::min(latenciesMs.size() - 1, latenciesMs.size() * 99 / 100)];
    }
    return r;
  }
};

class BenchReceiver : public KCPTransportBase {
 public:
  BenchReceiver(uint16_t port, const proto::UDP_CHANNEL_PARAMS& p, Sink& sink)
      : KCPTransportBase(Loopback(), port, p, nullptr), sink_(sink) {}
  void StepOnce() {
    if (Step()) {
      sink_.Message(head_, size_);
      size_ = 0;
    }
    sink_.CpuTick();
  }

 protected:
  void DataReceived(const uint8_t* data, std::size_t size) override {
    std::size_t take = size_ < 12 ? std::min<std::size_t>(12 - size_, size) : 0;
    memcpy(head_ + size_, data, take);
    size_ += size;
  }

 private:
  Sink& sink_;
  uint8_t head_[12] = {};
  std::size_t size_ = 0;
};

Result RunKcp() {
  KcpStation station(0x5EED);
  station.Kcp().SetWindowSize(kWindow, kWindow);
  proto::UDP_CHANNEL_PARAMS p;
  p.conv = 0x5EED;
  p.transportMode = 2;
  p.sliceSize = 32768;
  p.packetSize = 1400;
  p.sendWnd = kWindow;
  p.recvWnd = kWindow;
  Sink sink;
  std::atomic<bool> stop{false};
  int64_t start = NowUs() + 300'000;  // after the first datagrams found their way
  sink.bulkEndUs = start + kBulkUs;

  std::thread receiver([&] {
    BenchReceiver r(station.Port(), p, sink);
    uint8_t keepAlive = 11;
    int64_t lastKeepAlive = 0;
    while (!stop) {
      // Keep-alives tell the sender where we are; repeated because one may be lost.
      if (NowUs() < start && NowUs() - lastKeepAlive > 50'000) {
        r.Send(&keepAlive, 1);
        lastKeepAlive = NowUs();
      }
      r.StepOnce();
    }
  });

  std::vector<uint8_t> msg(kBulkMessage, 0x42);
  auto pumpWait = [&](int ms) {
    pollfd pf{station.Fd(), POLLIN, 0};
    poll(&pf, 1, ms);
    station.Pump();
  };
  while (NowUs() < start) pumpWait(1);
  while (NowUs() < sink.bulkEndUs) {
    while (station.Kcp().WaitSend() < 2 * kWindow) {
      Stamp(msg.data(), kBulk);
      station.Kcp().Send(msg.data(), msg.size());
    }
    pumpWait(1);
  }
  int64_t drainEnd = NowUs() + kDrainLimitUs;
  while (station.Kcp().WaitSend() > 0 && NowUs() < drainEnd) pumpWait(1);
  for (int i = 0; i < kPacedCount; ++i) {
    int64_t next = NowUs() + kPacedGapUs;
    Stamp(msg.data(), kPaced);
    station.Kcp().Send(msg.data(), kPacedMessage);
    while (NowUs() < next) pumpWait(1);
  }
  drainEnd = NowUs() + kDrainLimitUs;
  while (NowUs() < drainEnd) {
    {
      std::lock_guard<std::mutex> lock(sink.mutex);
      if (sink.latenciesMs.size() >= static_cast<std::size_t>(kPacedCount)) break;
    }
    pumpWait(1);
  }
  stop = true;
  receiver.join();
  return sink.Finish(start);
}

bool WriteAll(int fd, const uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

Result RunTcp() {
  int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = Loopback();
  ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t al = sizeof a;
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &al);
  ::listen(lfd, 1);

  Sink sink;
  std::atomic<uint64_t> sentBytes{0};
  int64_t start = NowUs() + 300'000;
  sink.bulkEndUs = start + kBulkUs;

  // The client side receives, as on the video channel.
  std::thread receiver([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    std::vector<uint8_t> buf(65536);
    std::vector<uint8_t> pending;
    for (;;) {
      pollfd pf{fd, POLLIN, 0};
      ::poll(&pf, 1, 1);
      sink.CpuTick();
      if (!(pf.revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      pending.insert(pending.end(), buf.begin(), buf.begin() + n);
      std::size_t off = 0;
      while (pending.size() - off >= 4) {
        uint32_t len;
        memcpy(&len, pending.data() + off, 4);
        if (pending.size() - off - 4 < len) break;
        sink.Message(pending.data() + off + 4, len);
        off += 4 + len;
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(off));
    }
    ::close(fd);
  });

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::vector<uint8_t> msg(4 + kBulkMessage, 0x42);
  auto send = [&](std::size_t size, uint32_t tag) {
    uint32_t len = static_cast<uint32_t>(size);
    memcpy(msg.data(), &len, 4);
    Stamp(msg.data() + 4, tag);
    WriteAll(fd, msg.data(), 4 + size);
    sentBytes += size;
  };
  while (NowUs() < start) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (NowUs() < sink.bulkEndUs) send(kBulkMessage, kBulk);
  int64_t drainEnd = NowUs() + kDrainLimitUs;
  while (sink.totalBytes < sentBytes && NowUs() < drainEnd)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < kPacedCount; ++i) {
    int64_t next = NowUs() + kPacedGapUs;
    send(kPacedMessage, kPaced);
    while (NowUs() < next) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  drainEnd = NowUs() + kDrainLimitUs;
  while (sink.totalBytes < sentBytes && NowUs() < drainEnd)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  receiver.join();
  ::close(lfd);
  return sink.Finish(start);
}

bool Shell(const std::string& cmd) {
  return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// A private network namespace whose loopback drops packets on request.
bool EnterLossyNamespace() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  // A 1500-byte MTU, as on a real path, so that TCP segments and KCP datagrams risk loss alike.
  return Shell("ip link set lo up mtu 1500") && Shell("nft add table inet zepbench") &&
         Shell("nft add chain inet zepbench in '{ type filter hook input priority 0; }'");
}

bool SetLoss(int percent) {
  if (!Shell("nft flush chain inet zepbench in")) return false;
  if (percent == 0) return true;
  return Shell("nft add rule inet zepbench in iif lo numgen random mod 100 '<' " + std::to_string(percent) +
               " drop");
}

void Row(const char* proto, int loss, const Result& r) {
  std::printf("%-5s %5d %%  %10.1f  %9.2f  %9.2f  %8d/%d  %10.2f\n", proto, loss, r.goodputMBps, r.p50Ms,
              r.p99Ms, r.pacedDelivered, kPacedCount, r.cpuMsPerMB);
  std::fflush(stdout);
}

}  // namespace

int main() {
  bool lossy = EnterLossyNamespace();
  if (!lossy)
    std::printf("note: no private network namespace with nftables (needs root and nft); 0 %% loss only\n");
  std::printf(
      "KCP (client transport, nodelay 2, 2 ms, fast resend 1, no cwnd, windows %u) vs TCP (TCP_NODELAY)\n",
      kWindow);
  std::printf(
      "loopback link, random loss of every packet in both directions; bulk %.1f s of %zu-byte messages;\n",
      kBulkUs / 1e6, kBulkMessage);
  std::printf("latency: %d messages of %zu bytes every %lld ms, send call to complete delivery\n\n",
              kPacedCount, kPacedMessage, static_cast<long long>(kPacedGapUs / 1000));
  std::printf("proto  loss   goodput MB/s  p50 ms     p99 ms     delivered   rx CPU ms/MB\n");
  for (int loss : {0, 2, 10}) {
    if (loss > 0 && (!lossy || !SetLoss(loss))) continue;
    Row("KCP", loss, RunKcp());
    Row("TCP", loss, RunTcp());
  }
  return 0;
}
