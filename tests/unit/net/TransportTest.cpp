// The TCP transport over real loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/net/Socket.h"
#include "sov/net/TransportConnector.h"
#include "sov/net/TransportListener.h"

using net::UniqueFd;
using namespace std::chrono_literals;
using B = std::vector<uint8_t>;

namespace {

// A raw listening socket on 127.0.0.1 with a free port.
struct RawServer {
  UniqueFd listening;
  uint16_t port = 0;

  RawServer() {
    listening = UniqueFd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listening.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(::listen(listening.Get(), 8), 0);
    socklen_t len = sizeof(addr);
    ::getsockname(listening.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  UniqueFd Accept() {
    pollfd p{listening.Get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return UniqueFd();
    return UniqueFd(::accept(listening.Get(), nullptr, nullptr));
  }
};

// Reads exactly n bytes (10 s at most); fewer when the stream ends.
B ReadExactly(int fd, std::size_t n) {
  B out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) break;
    uint8_t buf[512];
    ssize_t r = ::recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

void SendAll(int fd, const B& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

UniqueFd RawConnect(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  return fd;
}

platform::Guid TestGuid() {
  return *platform::Guid::Parse("{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}");
}

int IntOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof(v);
  ::getsockopt(fd, level, name, &v, &len);
  return v;
}

// A transport over arbitrary sockets, to exercise several slots.
class SlotTransport : public TransportBase {
 public:
  explicit SlotTransport(uint32_t count) : TransportBase(count, false) {}
  using TransportBase::AdoptSocket;
};

// Runs body with the application log going to a temporary file; returns the file's text.
template <class Body>
std::string CaptureLog(Body body) {
  auto log = std::filesystem::temp_directory_path() / ("zep-net-test-" + std::to_string(::getpid()) + ".log");
  zlog::Init(0, log, 1 << 20);
  body();
  zlog::Flush();
  zlog::Shutdown();
  std::stringstream text;
  text << std::ifstream(log).rdbuf();
  std::filesystem::remove(log);
  return text.str();
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(TransportConnector, GreetsWithTheGuidAndSetsSocketOptions) {
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TestGuid());
  UniqueFd peer = server.Accept();
  ASSERT_TRUE(peer.Valid());
  B greeting = ReadExactly(peer.Get(), 276);
  ASSERT_EQ(greeting.size(), 276u);
  B head(greeting.begin(), greeting.begin() + 20);
  EXPECT_EQ(head, (B{23,   0,    0,    0,    0xD4, 0xC3, 0xB2, 0xA1, 0xF6, 0xE5,
                     0x18, 0x07, 0x29, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F, 0x90}));
  for (std::size_t i = 20; i < greeting.size(); ++i) ASSERT_EQ(greeting[i], 0) << i;

  int fd = connector.Socket(0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 1);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  // Control traffic: DSCP CS7 and the highest priority an unprivileged socket may take.
  EXPECT_EQ(IntOption(fd, IPPROTO_IP, IP_TOS), 0xE0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_PRIORITY), 6);
  EXPECT_EQ(connector.Count(), 1u);
  EXPECT_EQ(connector.Current(), 0u);
}

TEST(TransportConnector, RejectsHostNamesAndBadPorts) {
  auto guid = TestGuid();
  for (const char* address : {"localhost", "example.com", "1.2.3", "256.1.1.1", ""}) {
    EXPECT_THROW(TransportConnector(address, 5000, guid), TransportException) << address;
    EXPECT_THROW(TransportConnector(address, 5000, TransportConnector::NonBlocking{}), TransportException)
        << address;
  }
  EXPECT_THROW(TransportConnector("127.0.0.1", 70000, guid), TransportException);
}

TEST(TransportConnector, RefusedConnectionThrows) {
  uint16_t port;
  {
    RawServer closed;  // bound and released: nothing listens there any more
    port = closed.port;
  }
  try {
    TransportConnector connector("127.0.0.1", port, TestGuid());
    FAIL() << "connected to a closed port";
  } catch (const TransportException& e) {
    EXPECT_EQ(e.Code(), ECONNREFUSED);
  }
}

TEST(TransportConnector, ReceiveWaitsForAllBytesAndPeerCloseReleasesTheSlot) {
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TestGuid());
  UniqueFd peer = server.Accept();
  ReadExactly(peer.Get(), 276);

  auto writer = std::async(std::launch::async, [&] {
    SendAll(peer.Get(), {2, 10, 20});
    std::this_thread::sleep_for(50ms);
    SendAll(peer.Get(), {30, 40});
    std::this_thread::sleep_for(20ms);
    peer.Reset();
  });
  EXPECT_EQ(connector.ReceiveMessageType(), 2);
  uint8_t buf[4] = {};
  connector.ReceiveBuffer(buf, 4);  // spans both sends
  EXPECT_EQ(B(buf, buf + 4), (B{10, 20, 30, 40}));
  writer.get();
  EXPECT_THROW(connector.ReceiveMessageType(), ReceiveException);
  EXPECT_FALSE(connector.IsOpen(0));
  EXPECT_THROW(connector.ReceiveBuffer(buf, 1), ReceiveException);
}

TEST(TransportConnector, ShortMessageIsAReceiveFailure) {
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TestGuid());
  UniqueFd peer = server.Accept();
  SendAll(peer.Get(), {1, 2, 3});
  peer.Reset();
  uint8_t buf[8];
  EXPECT_THROW(connector.ReceiveBuffer(buf, sizeof(buf)), ReceiveException);
  EXPECT_FALSE(connector.IsOpen(0));
}

TEST(TransportConnector, ForcedCloseFromAnotherThreadBreaksABlockedReceive) {
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TestGuid());
  UniqueFd peer = server.Accept();  // stays open and silent
  auto reader = std::async(std::launch::async, [&] {
    try {
      connector.ReceiveMessageType();
      return false;
    } catch (const ReceiveException&) {
      return true;
    }
  });
  std::this_thread::sleep_for(50ms);
  connector.CloseAllSockets();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(reader.get());
  // The peer saw our end of stream after the greeting.
  EXPECT_EQ(ReadExactly(peer.Get(), 277).size(), 276u);
}

TEST(TransportConnector, FailedSendClosesTheSlotAndThrows) {
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TestGuid());
  {
    UniqueFd peer = server.Accept();
    linger l{1, 0};  // reset instead of an orderly close
    ::setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  }
  B block(1024, 7);
  bool threw = false;
  for (int i = 0; i < 100 && !threw; ++i) {
    try {
      connector.SendBuffer(block.data(), block.size());
      std::this_thread::sleep_for(10ms);
    } catch (const TransportException&) {
      threw = true;
    }
  }
  EXPECT_TRUE(threw);
  EXPECT_FALSE(connector.IsOpen(0));
  EXPECT_THROW(connector.SendBuffer(block.data(), 1), TransportException);
}

TEST(TransportConnector, InterruptFdEndsAHangingConnect) {
  // A listener whose backlog is full drops further SYNs, so a connect to it hangs.
  RawServer server;
  ASSERT_EQ(::listen(server.listening.Get(), 0), 0);
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 4; ++i) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    fillers.push_back(std::move(fd));
  }
  std::this_thread::sleep_for(50ms);
  {
    // Probe: does a further connect hang here?
    TransportConnector probe("127.0.0.1", server.port, TransportConnector::NonBlocking{});
    if (probe.WaitConnected(300)) GTEST_SKIP() << "this kernel does not hold connects on a full backlog";
  }
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  auto interrupter = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(100ms);
    return ::write(writeEnd.Get(), "x", 1);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(TransportConnector("127.0.0.1", server.port, TestGuid(), readEnd.Get()), InterruptException);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(interrupter.get(), 1);
}

TEST(TransportConnector, ServiceModeConnectsWithoutGreeting) {
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TransportConnector::NonBlocking{});
  EXPECT_TRUE(connector.IsNonBlocking());
  EXPECT_TRUE(connector.WaitConnected(10000));
  UniqueFd peer = server.Accept();
  pollfd p{peer.Get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 100), 0) << "the service sends no greeting";

  connector.SetBlocking(true);
  connector.SetReceiveTimeout(100);
  SendAll(peer.Get(), {'h', 1, 2});
  EXPECT_EQ(connector.ReceiveMessageType(), 'h');
  connector.Skip(2);
  // A timed-out skip throws but leaves the socket open.
  EXPECT_THROW(connector.Skip(1), TransportException);
  EXPECT_TRUE(connector.IsOpen(0));
  SendAll(peer.Get(), {9});
  EXPECT_EQ(connector.ReceiveByte(0), 9);
}

TEST(TransportConnector, ServiceModeReportsARefusedConnection) {
  uint16_t port;
  {
    RawServer closed;
    port = closed.port;
  }
  TransportConnector connector("127.0.0.1", port, TransportConnector::NonBlocking{});
  EXPECT_THROW(connector.WaitConnected(10000), TransportException);
}

TEST(TransportBase, SendReachesEveryOpenSlotAndSkipsAFailedOne) {
  int a[2], b[2], c[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, c), 0);
  UniqueFd peerA(a[1]), peerB(b[1]), peerC(c[1]);
  SlotTransport t(3);
  t.AdoptSocket(0, a[0]);
  t.AdoptSocket(1, b[0]);
  t.AdoptSocket(2, c[0]);
  peerB.Reset();  // sending to slot 1 now fails with EPIPE

  B msg = {1, 2, 3};
  std::string s = CaptureLog([&] { t.SendBuffer(msg.data(), msg.size()); });
  EXPECT_EQ(Occurrences(s, "SendBuffer: unhandled exception: "), 1u) << s;
  EXPECT_NE(s.find("TransportBase::SendBuffer"), std::string::npos) << s;
  EXPECT_FALSE(t.IsOpen(1));
  EXPECT_TRUE(t.IsOpen(0));
  EXPECT_TRUE(t.IsOpen(2));
  EXPECT_EQ(ReadExactly(peerA.Get(), 3), msg);
  EXPECT_EQ(ReadExactly(peerC.Get(), 3), msg);
}

TEST(TransportBase, SingleSlotFailedSendLogsOnceThenThrows) {
  int a[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  SlotTransport t(1);
  t.AdoptSocket(0, a[0]);
  ::close(a[1]);  // the first send fails with EPIPE
  B msg = {1, 2, 3};
  bool threw = false;
  std::string s = CaptureLog([&] {
    try {
      t.SendBuffer(msg.data(), msg.size());
    } catch (const TransportException&) {
      threw = true;
    }
  });
  EXPECT_TRUE(threw);
  EXPECT_FALSE(t.IsOpen(0));
  EXPECT_EQ(Occurrences(s, "SendBuffer: unhandled exception: "), 1u) << s;
  // The log line names the failure of the first attempt.
  EXPECT_NE(s.find(std::to_string(EPIPE)), std::string::npos) << s;
}

TEST(TransportBase, ForcedCloseOfAStreamingPeerEnds) {
  // The drain after our shutdown is bounded: a peer that never stops sending must not hold
  // the closing thread.
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TestGuid());
  UniqueFd peer = server.Accept();
  ASSERT_TRUE(peer.Valid());
  std::atomic<bool> stop{false};
  auto flooder = std::async(std::launch::async, [&] {
    B chunk(16384, 0x5A);
    while (!stop) {
      pollfd p{peer.Get(), POLLOUT, 0};
      if (::poll(&p, 1, 100) == 1 && ::send(peer.Get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
    }
  });
  std::this_thread::sleep_for(50ms);
  auto closer = std::async(std::launch::async, [&] { connector.CloseAllSockets(); });
  bool ended = closer.wait_for(20s) == std::future_status::ready;
  stop = true;
  flooder.get();
  if (!ended) peer.Reset();  // let a stuck close finish so the test fails instead of hanging
  ASSERT_TRUE(ended);
  closer.get();
  EXPECT_FALSE(connector.IsOpen(0));
}

TEST(TransportBase, ReceiveTypeTakesTheReadableSlot) {
  int a[2], b[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
  UniqueFd peerA(a[1]), peerB(b[1]);
  SlotTransport t(2);
  t.AdoptSocket(0, a[0]);
  t.AdoptSocket(1, b[0]);
  SendAll(peerB.Get(), {42, 5});
  EXPECT_EQ(t.ReceiveMessageType(), 42);
  EXPECT_EQ(t.Current(), 1u);
  uint8_t v = 0;
  t.ReceiveBuffer(&v, 1);
  EXPECT_EQ(v, 5);

  // Slot 0 ends while slot 1 still delivers: its end is reported once it is the readable slot.
  peerA.Reset();
  SendAll(peerB.Get(), {43});
  std::vector<int> types;
  int failures = 0;
  for (int i = 0; i < 2; ++i) {
    try {
      types.push_back(t.ReceiveMessageType());
    } catch (const ReceiveException&) {
      ++failures;
    }
  }
  EXPECT_EQ(types, std::vector<int>{43});
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(t.IsOpen(0));
  EXPECT_TRUE(t.IsOpen(1));

  // With every slot closed the wait ends instead of polling forever.
  t.CloseAllSockets();
  EXPECT_THROW(t.ReceiveMessageType(), TransportException);
}

TEST(TransportListener, AcceptsALocalConnection) {
  TransportListener listener("127.0.0.1", "0");
  listener.StartAcceptConnections();
  EXPECT_FALSE(listener.WaitForConnection(0));
  UniqueFd client = RawConnect(listener.LocalPort());
  ASSERT_TRUE(listener.WaitForConnection(10000));
  EXPECT_EQ(listener.PeerAddress().sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  SendAll(client.Get(), {0x16, 3, 1});
  EXPECT_EQ(listener.ReceiveMessageType(), 0x16);
  listener.SetReceiveTimeout(1000);
  uint8_t two[2];
  listener.ReceiveBuffer(two, 2);
  EXPECT_EQ(two[1], 1);
  // While the slot is busy the wait returns at once.
  EXPECT_TRUE(listener.WaitForConnection(-1));

  // After the connection is closed, the next one takes the slot.
  listener.CloseSocket(0, TransportBase::kForcedClose);
  client.Reset();
  UniqueFd second = RawConnect(listener.LocalPort());
  ASSERT_TRUE(listener.WaitForConnection(10000));
  SendAll(second.Get(), {7});
  EXPECT_EQ(listener.ReceiveMessageType(), 7);
}

TEST(TransportListener, DefaultHostIsLoopback) {
  TransportListener listener("localhost", "0");
  EXPECT_NE(listener.LocalPort(), 0);
  UniqueFd client = RawConnect(listener.LocalPort());
  EXPECT_TRUE(listener.WaitForConnection(10000));
}
