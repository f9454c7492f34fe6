#pragma once
// A zep-station process for one test, and a raw client that writes protocol bytes by hand.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace stationtest {

inline int64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Looks at `done` every 10 ms until it holds (true) or timeoutMs have passed (false).
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
  while (!done()) {
    if (MonotonicUs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline void Put16(std::vector<uint8_t>& v, std::size_t at, uint16_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
}
inline void Put32(std::vector<uint8_t>& v, std::size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
inline void Put64(std::vector<uint8_t>& v, std::size_t at, uint64_t x) {
  for (int i = 0; i < 8; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
inline uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t Get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
  return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

// The station under test, started with --port 0 and its log in a temporary file.
class StationProcess {
 public:
  explicit StationProcess(std::vector<std::string> args) {
    char tmpl[] = "/tmp/zep-station-test-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    logPath_ = tmpl;
    std::vector<std::string> all = {ZEP_BINARY_DIR "/bin/zep-station", "--port", "0", "--log", logPath_};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start zep-station");
    std::string line = WaitForLine("\"event\":\"listening\"", 20000);
    if (line.empty()) throw std::runtime_error("zep-station did not start listening:\n" + Log());
    basePort_ = static_cast<int>(NumberField(line, "base_port"));
    clockOffsetUs_ = NumberField(line, "clock_offset_us");
  }
  ~StationProcess() {
    Stop();
    unlink(logPath_.c_str());
  }
  int Port(int offset = 0) const { return basePort_ + offset; }
  pid_t Pid() const { return pid_; }
  // Resident memory of the station in KiB (VmRSS), or -1.
  int64_t RssKib() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string l; std::getline(in, l);)
      if (l.rfind("VmRSS:", 0) == 0) return std::stoll(l.substr(6));
    return -1;
  }
  // Station clock (ping replies, frame stamps) minus this host's monotonic clock.
  int64_t ClockOffsetUs() const { return clockOffsetUs_; }
  // Sends SIGTERM and waits; returns the exit status.
  int Stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }
  std::string Log() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<std::string> Lines(const std::string& needle) const {
    std::vector<std::string> out;
    std::istringstream in(Log());
    for (std::string l; std::getline(in, l);)
      if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }
  // The first log line containing every needle, waiting up to timeoutMs; empty when none came.
  std::string WaitForLine(const std::string& needle, int timeoutMs, const std::string& needle2 = "") const {
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    for (;;) {
      for (const auto& l : Lines(needle))
        if (needle2.empty() || l.find(needle2) != std::string::npos) return l;
      if (MonotonicUs() > end) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Waits until `count` lines contain the needle; returns how many there were at the end.
  std::size_t WaitForCount(const std::string& needle, std::size_t count, int timeoutMs) const {
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    for (;;) {
      std::size_t n = Lines(needle).size();
      if (n >= count || MonotonicUs() > end) return n;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  static int64_t NumberField(const std::string& line, const std::string& key) {
    auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return INT64_MIN;
    return std::stoll(line.substr(at + key.size() + 3));
  }
  static std::string StringField(const std::string& line, const std::string& key) {
    auto at = line.find("\"" + key + "\":\"");
    if (at == std::string::npos) return "<missing>";
    at += key.size() + 4;
    std::string out;
    for (std::size_t i = at; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      out.push_back(line[i]);
    }
    return out;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int basePort_ = 0;
  int64_t clockOffsetUs_ = 0;
  std::string logPath_;
};

// A blocking loopback TCP client with time-outs on every read.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
      throw std::runtime_error("connect to " + std::to_string(port) + " failed");
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  void Send(const std::vector<uint8_t>& bytes) {
    if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("send failed");
  }
  // Exactly n bytes, or an empty vector when the connection ended or the time ran out.
  std::vector<uint8_t> Recv(std::size_t n, int timeoutMs = 10000) {
    std::vector<uint8_t> out(n);
    std::size_t got = 0;
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    while (got < n) {
      pollfd p{fd_, POLLIN, 0};
      int left = static_cast<int>((end - MonotonicUs()) / 1000);
      if (left <= 0 || poll(&p, 1, left) <= 0) return {};
      ssize_t r = recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) return {};
      got += static_cast<std::size_t>(r);
    }
    return out;
  }
  // True when the station closed the connection within timeoutMs (bytes before the end are skipped).
  bool ClosedByPeer(int timeoutMs = 5000) {
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    uint8_t buf[4096];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      int left = static_cast<int>((end - MonotonicUs()) / 1000);
      if (left <= 0 || poll(&p, 1, left) <= 0) return false;
      ssize_t r = recv(fd_, buf, sizeof buf, 0);
      if (r <= 0) return true;
    }
  }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Greeting bytes written by hand: type 23, three zeros, the GUID in memory order, 256 zeros.
inline std::vector<uint8_t> Greeting(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t data4[8]) {
  std::vector<uint8_t> g(276, 0);
  g[0] = 23;
  Put32(g, 4, data1);
  Put16(g, 8, data2);
  Put16(g, 10, data3);
  std::memcpy(&g[12], data4, 8);
  return g;
}

struct TestGuid {
  uint32_t data1;
  uint16_t data2 = 0x1234;
  uint16_t data3 = 0x4abc;
  uint8_t data4[8] = {0x8d, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  std::vector<uint8_t> GreetingBytes() const { return Greeting(data1, data2, data3, data4); }
  std::string Text() const {
    char buf[40];
    snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", data1, data2, data3,
             data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return buf;
  }
};

inline TestGuid RandomGuid() {
  std::random_device rd;
  TestGuid g{rd()};
  return g;
}

// A client-to-station API message: type byte then a payload of `size` zero bytes to fill in.
inline std::vector<uint8_t> Message(uint8_t type, std::size_t size) {
  std::vector<uint8_t> m(1 + size, 0);
  m[0] = type;
  return m;
}

}  // namespace stationtest
