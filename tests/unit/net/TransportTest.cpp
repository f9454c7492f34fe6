// The TCP transport over real loopback sockets; its peers are made through the platform layer,
// so the same cases run on Linux and Windows.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/Wait.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/net/TransportConnector.h"
#include "sov/net/TransportListener.h"
#include "tests/unit/TestSocketOptions.h"
#include "tests/unit/TestSockets.h"
#include "tests/unit/TestSystem.h"
#include "tests/unit/TestWine.h"
#include "tests/unit/net/Interrupted.h"

using platform::UniqueFd;
using namespace std::chrono_literals;
using B = std::vector<uint8_t>;

namespace {

const B kGreeting = {23, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1};

platform::Ipv4Endpoint Loopback(uint16_t port) {
  platform::Ipv4Endpoint endpoint;
  EXPECT_EQ(platform::ParseIpv4("127.0.0.1", port, endpoint), 0);
  return endpoint;
}

// Whether fd turns ready for `events` within timeoutMs.
bool Ready(int fd, short events, int timeoutMs) {
  const platform::PollFd p{fd, events};
  return platform::WaitAnyFd(std::span(&p, 1), {}, timeoutMs) == 0;
}

// A listening socket on 127.0.0.1 with a free port.
struct RawServer {
  UniqueFd listening;
  uint16_t port = 0;

  explicit RawServer(int backlog = 8) {
    EXPECT_EQ(platform::ListenTcp("127.0.0.1", "0", backlog, listening), 0);
    EXPECT_EQ(platform::LocalPort(listening.Get(), port), 0);
  }
  UniqueFd Accept() {
    UniqueFd accepted;
    platform::Ipv4Endpoint from;
    if (!Ready(listening.Get(), platform::kWaitReadable, 10000)) return accepted;
    EXPECT_EQ(platform::Accept(listening.Get(), accepted, from), 0);
    return accepted;
  }
};

uint16_t ClosedPort() {
  RawServer closed;  // bound and released: nothing listens there any more
  return closed.port;
}

// Reads exactly n bytes (10 s at most for each piece); fewer when the stream ends.
B ReadExactly(int fd, std::size_t n) {
  B out;
  while (out.size() < n) {
    uint8_t buf[512];
    std::size_t got = 0;
    if (platform::ReceiveSome(fd, buf, std::min(sizeof(buf), n - out.size()), nullptr, 10000, got) != 0)
      break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

void SendAll(int fd, const B& bytes) {
  ASSERT_TRUE(
      testsys::SendAll(fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
}

UniqueFd RawConnect(uint16_t port) {
  UniqueFd fd;
  EXPECT_EQ(platform::OpenTcpSocket(fd), 0);
  EXPECT_EQ(platform::Connect(fd.Get(), Loopback(port), nullptr), 0);
  return fd;
}

// A connector that has greeted the server, and the server's end of it.
struct Connected {
  RawServer server;
  platform::Event interrupt{true};
  TransportConnector connector{"127.0.0.1", server.port, kGreeting, &interrupt};
  UniqueFd peer = server.Accept();
};

// A transport over arbitrary sockets, to exercise several slots.
class SlotTransport : public TransportBase {
 public:
  explicit SlotTransport(uint32_t count) : TransportBase(count, false, nullptr) {}
  // A loopback connection in the slot; returns the peer's end.
  UniqueFd AdoptLoopback(uint32_t slot) {
    testsys::SocketPair pair;
    AdoptSocket(slot, std::move(pair.a));
    return std::move(pair.b);
  }
  // Resets the slot's connection from the peer's side and waits until the slot has seen it, so
  // that the slot's next send fails.
  void ResetByPeer(uint32_t slot, UniqueFd& peer) {
    testsys::CloseWithReset(peer);
    EXPECT_TRUE(Ready(Socket(slot), platform::kWaitReadable, 10000)) << "slot " << slot << " saw no reset";
  }
};

// Runs body with the application log going to a temporary file; returns the file's text.
template <class Body>
std::string CaptureLog(Body body) {
  auto log = std::filesystem::temp_directory_path() /
             ("zep-net-test-" + std::to_string(testsys::ProcessId()) + ".log");
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

TEST(TransportConnector, GreetsFirstAndSetsSocketOptions) {
  Connected c;
  ASSERT_TRUE(c.peer.Valid());
  EXPECT_EQ(ReadExactly(c.peer.Get(), kGreeting.size()), kGreeting);
  using testsys::IntOption;
  int fd = c.connector.Socket(0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
#ifndef _WIN32
  // Control traffic: DSCP CS7 and the highest priority an unprivileged socket may take. (Windows
  // ignores IP_TOS without a QoS policy and has no socket priority.)
  EXPECT_EQ(IntOption(fd, IPPROTO_IP, IP_TOS), 0xE0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_PRIORITY), 6);
  // Blocking again once connected, as the service-side helpers expect. (Windows sockets stay
  // non-blocking inside and have no mode to read back.)
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
#endif
  // Probes after 1 s of silence, every 1 s after that.
  const int idle = IntOption(fd, IPPROTO_TCP, testsys::kTcpKeepIdle);
  const int interval = IntOption(fd, IPPROTO_TCP, testsys::kTcpKeepInterval);
  if (idle == -1 && interval == -1 && testsys::UnderWine())
    GTEST_SKIP() << "Wine cannot read keep-alive times back (TCP_KEEPALIVE, TCP_KEEPINTVL: WSAENOPROTOOPT); "
                    "the greeting, keep-alive and TCP_NODELAY passed";
  EXPECT_EQ(idle, 1);
  EXPECT_EQ(interval, 1);
}

TEST(TransportConnector, RejectsHostNamesBadPortsAndRefusals) {
  for (const char* address : {"localhost", "example.com", "1.2.3", "256.1.1.1", ""}) {
    EXPECT_THROW(TransportConnector(address, 5000, kGreeting, nullptr), TransportException) << address;
    EXPECT_THROW(TransportConnector(address, 5000, TransportConnector::NonBlocking{}), TransportException)
        << address;
  }
  EXPECT_THROW(TransportConnector("127.0.0.1", 70000, kGreeting, nullptr), TransportException);
  uint16_t port = ClosedPort();
  try {
    TransportConnector connector("127.0.0.1", port, kGreeting, nullptr);
    FAIL() << "connected to a closed port";
  } catch (const TransportException& e) {
    EXPECT_EQ(e.Code(), ECONNREFUSED);
  }
  TransportConnector service("127.0.0.1", port, TransportConnector::NonBlocking{});
  EXPECT_THROW(service.WaitConnected(10000), TransportException);
}

// A receive returns only once every byte asked for has come. A forced close from another thread
// breaks a blocked receive, and the peer sees our end of stream.
TEST(TransportConnector, ReceiveWaitsForAllBytesUntilAForcedClose) {
  Connected c;
  ReadExactly(c.peer.Get(), kGreeting.size());
  auto writer = std::async(std::launch::async, [&] {
    SendAll(c.peer.Get(), {2, 10, 20});
    std::this_thread::sleep_for(50ms);
    SendAll(c.peer.Get(), {30, 40});
  });
  EXPECT_EQ(c.connector.ReceiveMessageType(), 2);
  uint8_t buf[4] = {};
  c.connector.ReceiveBuffer(buf, 4);  // spans both sends
  EXPECT_EQ(B(buf, buf + 4), (B{10, 20, 30, 40}));
  writer.get();

  auto reader = std::async(std::launch::async, [&] {
    try {
      c.connector.ReceiveMessageType();
      return false;
    } catch (const ReceiveException&) {
      return true;
    }
  });
  std::this_thread::sleep_for(50ms);
  c.connector.CloseAllSockets();
  bool ended = reader.wait_for(10s) == std::future_status::ready;
  if (!ended) c.peer.Reset();  // frees a receive the close left waiting, so the test fails instead of hanging
  ASSERT_TRUE(ended) << "the forced close left the receive waiting";
  EXPECT_TRUE(reader.get());
  EXPECT_FALSE(c.connector.IsOpen(0));
  EXPECT_EQ(ReadExactly(c.peer.Get(), 1).size(), 0u);
}

TEST(TransportInterrupt, EndsABlockedReceive) {
  Connected c;  // the peer never sends
  auto took = nettest::TimeToInterrupt(
      c.interrupt, [&] { c.connector.ReceiveMessageType(); }, [&] { c.connector.CloseAllSockets(); });
  EXPECT_LT(took, 500ms);
  EXPECT_TRUE(c.connector.IsOpen(0));
}

TEST(TransportInterrupt, EndsASendBlockedOnAFullBuffer) {
  Connected c;  // the peer never reads, so the socket buffers fill up
  B block(1 << 20, 0x5A);
  auto took = nettest::TimeToInterrupt(
      c.interrupt,
      [&] {
        for (;;) c.connector.SendBuffer(block.data(), block.size());
      },
      [&] { c.connector.CloseAllSockets(); });
  EXPECT_LT(took, 500ms);
}

TEST(TransportInterrupt, EndsAConnectThatNeverCompletes) {
  // A listener whose backlog is full drops further SYNs, so a connect to it hangs for minutes.
  RawServer server(0);
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.emplace_back();
    ASSERT_EQ(platform::OpenTcpSocket(fillers.back()), 0);
    ASSERT_EQ(platform::SetNonBlocking(fillers.back().Get(), true), 0);
    platform::StartConnect(fillers.back().Get(), Loopback(server.port));
  }
  std::this_thread::sleep_for(50ms);
  try {
    TransportConnector probe("127.0.0.1", server.port, TransportConnector::NonBlocking{});
    if (probe.WaitConnected(300)) GTEST_SKIP() << "this kernel does not hold connects on a full backlog";
  } catch (const TransportException& e) {
    // Windows answers a connect to a full backlog with a reset instead of holding it.
    GTEST_SKIP() << "this system refuses connects on a full backlog (error " << e.Code() << ")";
  }
  platform::Event interrupt(true);
  auto took = nettest::TimeToInterrupt(
      interrupt, [&] { TransportConnector("127.0.0.1", server.port, kGreeting, &interrupt); },
      [&] { server.listening.Reset(); });
  EXPECT_LT(took, 500ms);
}

TEST(TransportConnector, ServiceModeConnectsWithoutGreeting) {
  RawServer server;
  TransportConnector connector("127.0.0.1", server.port, TransportConnector::NonBlocking{});
  EXPECT_TRUE(connector.IsNonBlocking());
  EXPECT_TRUE(connector.WaitConnected(10000));
  UniqueFd peer = server.Accept();
  EXPECT_FALSE(Ready(peer.Get(), platform::kWaitReadable, 100)) << "the service sends no greeting";

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

// A failing slot is closed and logged once; the others are still served. With no slot left the
// send throws, having logged each failure once.
TEST(TransportBase, SendReachesEveryOpenSlotAndSkipsAFailedOne) {
  SlotTransport t(3);
  UniqueFd peerA = t.AdoptLoopback(0), peerB = t.AdoptLoopback(1), peerC = t.AdoptLoopback(2);
  t.ResetByPeer(1, peerB);  // sending to slot 1 now fails with ECONNRESET

  B msg = {1, 2, 3};
  std::string s = CaptureLog([&] { t.SendBuffer(msg.data(), msg.size()); });
  EXPECT_EQ(Occurrences(s, "SendBuffer: unhandled exception: "), 1u) << s;
  EXPECT_NE(s.find("TransportBase::SendBuffer"), std::string::npos) << s;
  EXPECT_NE(s.find(std::to_string(ECONNRESET)), std::string::npos) << s;
  EXPECT_FALSE(t.IsOpen(1));
  EXPECT_EQ(ReadExactly(peerA.Get(), 3), msg);
  EXPECT_EQ(ReadExactly(peerC.Get(), 3), msg);

  t.ResetByPeer(0, peerA);
  t.ResetByPeer(2, peerC);
  s = CaptureLog([&] { EXPECT_THROW(t.SendBuffer(msg.data(), msg.size()), TransportException); });
  EXPECT_EQ(Occurrences(s, "SendBuffer: unhandled exception: "), 2u) << s;
  EXPECT_FALSE(t.IsOpen(0) || t.IsOpen(2));
}

TEST(TransportBase, ForcedCloseOfAStreamingPeerEnds) {
  // The drain after our shutdown is bounded: a peer that never stops sending must not hold
  // the closing thread.
  Connected c;
  ASSERT_TRUE(c.peer.Valid());
  platform::Event stop(true);  // also ends a send waiting on a full buffer
  auto flooder = std::async(std::launch::async, [&] {
    B chunk(16384, 0x5A);
    std::size_t done = 0;
    while (!stop.IsSet() && platform::SendExact(c.peer.Get(), chunk.data(), chunk.size(), &stop, done) == 0) {
    }
  });
  std::this_thread::sleep_for(50ms);
  auto closer = std::async(std::launch::async, [&] { c.connector.CloseAllSockets(); });
  bool ended = closer.wait_for(20s) == std::future_status::ready;
  stop.Set();
  flooder.get();
  if (!ended) c.peer.Reset();  // let a stuck close finish so the test fails instead of hanging
  ASSERT_TRUE(ended);
  closer.get();
  EXPECT_FALSE(c.connector.IsOpen(0));
}

TEST(TransportBase, ReceiveTypeTakesTheReadableSlot) {
  SlotTransport t(2);
  UniqueFd peerA = t.AdoptLoopback(0), peerB = t.AdoptLoopback(1);
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

TEST(TransportListener, AcceptsLocalConnectionsOneAtATime) {
  TransportListener listener("localhost", "0");
  listener.StartAcceptConnections();
  EXPECT_FALSE(listener.WaitForConnection(0));
  UniqueFd client = RawConnect(listener.LocalPort());
  ASSERT_TRUE(listener.WaitForConnection(10000));
  EXPECT_EQ(listener.PeerAddress().address, Loopback(0).address);
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
