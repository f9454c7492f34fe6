// Command positions, URL messages, closing a launched process, and presence over a fake
// Discord IPC server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "mord/services/WordPressClient.h"
#include "platform/Event.h"
#include "sov/base/BaseException.h"
#include "zeps/BrowserLink.h"
#include "zeps/DiscordIpc.h"
#include "zeps/EndpointRanking.h"
#include "zeps/Launcher.h"
#include "zeps/ServiceState.h"

namespace {

const std::string kToken = "11111111-2222-3333-4444-555555555555";
const std::string kSession = "5e55a0f1-0000-4000-8000-0000000000aa";

}  // namespace

TEST(BrowserLink, CommandFieldsSitAtTheirPositions) {
  // start: token at 6, session at 43, flag at 79; connect two places later.
  BrowserCommand s = ParseCommand("start." + kToken + "." + kSession + "1");
  EXPECT_EQ(s.kind, CommandKind::Start);
  EXPECT_EQ(s.proxyToken, kToken);
  EXPECT_EQ(s.sessionId, kSession);
  EXPECT_EQ(s.startFlag, 1);
  BrowserCommand c = ParseCommand("connect/" + kToken + "/" + kSession + "x");
  EXPECT_EQ(c.kind, CommandKind::Connect);
  EXPECT_EQ(c.sessionId, kSession);
  EXPECT_EQ(c.startFlag, 0);
  EXPECT_EQ(ParseCommand("start." + kToken + "." + kSession).startFlag, 0);  // no flag position
  EXPECT_EQ(ParseCommand("check-abc").proxyToken, "abc");
  EXPECT_EQ(ParseCommand("hello").kind, CommandKind::None);
  EXPECT_THROW(ParseCommand("check"), BaseException);
  EXPECT_THROW(ParseCommand("start." + kToken), BaseException);
}

TEST(BrowserLink, UrlMessagesAreUtf16AndCutTo512Characters) {
  const std::string url = "vekta:" + std::string(594, 'a');
  const std::string message = EncodeUrlMessage(url);
  ASSERT_EQ(message.size(), 1024u);
  EXPECT_EQ(message.substr(0, 4), std::string("v\0e\0", 4));
  EXPECT_EQ(DecodeUrlMessage(message), url.substr(0, 512));
  // A character outside the BMP is a surrogate pair, and is left out whole at the cut.
  const std::string wide = "vekta:\xF0\x9F\x8E\xAE";
  EXPECT_EQ(EncodeUrlMessage(wide).size(), 16u);
  EXPECT_EQ(DecodeUrlMessage(EncodeUrlMessage(wide)), wide);
  EXPECT_EQ(EncodeUrlMessage(std::string(511, 'a') + "\xF0\x9F\x8E\xAE").size(), 1022u);
}

TEST(Launcher, CommandLineAndClosingAProcessThatIgnoresSigterm) {
  LaunchRequest r{"10.0.0.5", 7985, "tok", kSession, "guid", false, "New York"};
  EXPECT_EQ(ZepCommandLine("/opt/zep/zep", r), "\"/opt/zep/zep\"10.0.0.5 --port 7985 --token tok --session " +
                                                   kSession + " --from-guid guid --city New York");
  r.canTryNext = true;
  EXPECT_EQ(ZepArguments(r),
            (std::vector<std::string>{"10.0.0.5", "--port", "7985", "--token", "tok", "--session", kSession,
                                      "--from-guid", "guid", "--canTryNext", "--city", "New York"}));
  EXPECT_TRUE(IsProtectedProcess("/usr/lib/wine/DLLHOST.EXE"));
  EXPECT_FALSE(IsProtectedProcess("/usr/bin/zep"));

  using Clock = std::chrono::steady_clock;
  auto polite = platform::ChildProcess::Spawn({{"/bin/sleep", "30"}, "", {}, std::nullopt});
  auto t0 = Clock::now();
  Launcher::Close(polite);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(polite.ExitCode(), 128 + SIGTERM);

  // Ignores SIGTERM: killed once the grace period (shortened here) is over, together with what
  // it started (which would otherwise keep running, and keep this test's output open).
  const std::string pidFile =
      std::filesystem::temp_directory_path() / ("zeps-launcher-" + std::to_string(getpid()));
  auto stubborn = platform::ChildProcess::Spawn(
      {{"/bin/sh", "-c", "trap '' TERM; sleep 30 & echo $! > " + pidFile + "; wait"}, "", {}, std::nullopt});
  std::string grandchild;
  for (int i = 0; i < 200 && grandchild.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream(pidFile) >> grandchild;
  }
  ASSERT_FALSE(grandchild.empty());
  t0 = Clock::now();
  Launcher::Close(stubborn, 300);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(250));
  EXPECT_EQ(stubborn.ExitCode(), 128 + SIGKILL);
  auto running = [&] {
    std::ifstream stat("/proc/" + grandchild + "/stat");
    std::string pid, name, state;
    return stat >> pid >> name >> state && state != "Z";
  };
  for (int i = 0; i < 200 && running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(running()) << "the sleep the shell started outlived it";
  std::filesystem::remove(pidFile);
}

namespace {

// Reads one frame (opcode, JSON) from a blocking socket.
std::pair<uint32_t, std::string> ReadFrame(int fd) {
  uint8_t h[8];
  if (recv(fd, h, 8, MSG_WAITALL) != 8) return {~0u, ""};
  const uint32_t op = h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
  const uint32_t len = h[4] | h[5] << 8 | h[6] << 16 | static_cast<uint32_t>(h[7]) << 24;
  std::string json(len, '\0');
  recv(fd, json.data(), len, MSG_WAITALL);
  return {op, json};
}

void WriteFrame(int fd, uint32_t op, const std::string& json) {
  std::string f(8, '\0');
  for (int i = 0; i < 4; ++i)
    f[i] = static_cast<char>(op >> (8 * i)), f[4 + i] = static_cast<char>(json.size() >> (8 * i));
  f += json;
  ASSERT_EQ(send(fd, f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
}

}  // namespace

TEST(DiscordIpc, HandshakePresenceJoinRequestAndClearAgainstAFakeServer) {
  char tmpl[] = "/tmp/zeps-discord-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  DiscordIpc discord("123456", {dir});
  discord.Initialize();  // nothing listens yet: Discord starts later
  EXPECT_FALSE(discord.Ready());

  int server = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  const std::string path = dir + "/discord-ipc-0";
  std::strcpy(sa.sun_path, path.c_str());
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  listen(server, 1);
  timeval tv{5, 0};

  discord.RunCallbacks();  // connects and greets
  int conn = accept(server, nullptr, nullptr);
  setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto [op, hello] = ReadFrame(conn);
  EXPECT_EQ(op, 0u);
  EXPECT_EQ(hello, R"({"v":1,"client_id":"123456"})");

  const std::string title(200, 'T');
  discord.UpdatePresence(MakePresence(title, "www.zep.example", 1700000000));  // waits for READY
  WriteFrame(conn, 1, R"({"cmd":"DISPATCH","evt":"READY","data":{"v":1}})");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  discord.RunCallbacks();
  EXPECT_TRUE(discord.Ready());
  EXPECT_NE(ReadFrame(conn).second.find("\"evt\":\"ACTIVITY_JOIN_REQUEST\""), std::string::npos);
  const std::string activity = ReadFrame(conn).second;
  EXPECT_NE(activity.find("\"cmd\":\"SET_ACTIVITY\""), std::string::npos) << activity;
  EXPECT_NE(activity.find("\"details\":\"" + std::string(128, 'T') + "\""), std::string::npos) << activity;
  EXPECT_NE(activity.find("\"state\":\"www.zep.example\""), std::string::npos);
  EXPECT_NE(activity.find("\"start\":1700000000"), std::string::npos);
  EXPECT_NE(activity.find("\"large_image\":\"whiteball\""), std::string::npos);

  WriteFrame(conn, 1, R"({"cmd":"DISPATCH","evt":"ACTIVITY_JOIN_REQUEST","data":{"user":{"id":"42"}}})");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  discord.RunCallbacks();
  const std::string reply = ReadFrame(conn).second;
  EXPECT_NE(reply.find("\"cmd\":\"CLOSE_ACTIVITY_REQUEST\",\"args\":{\"user_id\":\"42\"}"), std::string::npos)
      << reply;

  discord.ClearPresence();
  const std::string cleared = ReadFrame(conn).second;
  EXPECT_NE(cleared.find("SET_ACTIVITY"), std::string::npos);
  EXPECT_EQ(cleared.find("activity\":"), std::string::npos) << cleared;
  close(conn);
  close(server);
  std::filesystem::remove_all(dir);
}

namespace {

// Accepts every connection on a loopback port, answers 'h' with 'h' while `answer` is set, and
// never closes a connection itself: a peer that ignores our close, as a busy station may.
class StubbornStation {
 public:
  explicit StubbornStation(bool answer) : answer_(answer) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(listen(listener_, 64), 0);
    socklen_t len = sizeof sa;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~StubbornStation() {
    stop_ = true;
    thread_.join();
    for (int fd : conns_) close(fd);
    close(listener_);
  }
  int Port() const { return port_; }
  int Closed() const { return closed_; }

 private:
  void Run() {
    std::vector<bool> gone;
    while (!stop_) {
      std::vector<pollfd> set = {{listener_, POLLIN, 0}};
      for (int fd : conns_) set.push_back({fd, POLLIN, 0});
      if (poll(set.data(), set.size(), 20) <= 0) continue;
      if (set[0].revents & POLLIN) {
        conns_.push_back(accept(listener_, nullptr, nullptr));
        gone.push_back(false);
      }
      for (std::size_t i = 1; i < set.size(); ++i) {
        if (gone[i - 1] || !(set[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char b = 0;
        if (recv(set[i].fd, &b, 1, 0) == 1) {
          if (answer_) send(set[i].fd, &b, 1, MSG_NOSIGNAL);
        } else {  // seen, but left open
          gone[i - 1] = true;
          ++closed_;
        }
      }
    }
  }
  const bool answer_;
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> conns_;
  std::atomic<int> closed_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::vector<EndpointEntry> TenEndpoints(int port) {
  std::vector<EndpointEntry> endpoints(10);
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    endpoints[i].ip = "127.0.0.1";
    endpoints[i].basePort = port;
    endpoints[i].serverId = "s" + std::to_string(i);
  }
  return endpoints;
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
      .count();
}

}  // namespace

// Waiting up to 250 ms for each of nine losers that never answer our close would take over two
// seconds; losers are closed without that wait.
TEST(EndpointRanking, LosersAndAnInterruptedRankingCloseWithoutWaitingForPeers) {
  {
    StubbornStation station(true);
    platform::Event stop(true);
    std::vector<RankedEndpoint> probed = ProbeEndpoints(TenEndpoints(station.Port()), stop);
    const auto start = std::chrono::steady_clock::now();
    std::vector<RankedEndpoint> ranked = KeepBest(std::move(probed));
    EXPECT_LT(ElapsedMs(start), 1000);
    ASSERT_EQ(ranked.size(), 10u);
    EXPECT_TRUE(ranked[0].connection);
    for (std::size_t i = 1; i < ranked.size(); ++i) EXPECT_FALSE(ranked[i].connection);
    for (int i = 0; i < 100 && station.Closed() < 9; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(station.Closed(), 9) << "the losers' stations saw them closed";
  }
  {
    // Stations that accept but never answer: the stop ends the ranking at once.
    StubbornStation silent(false);
    platform::Event stop(true);
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      stop.Set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(ProbeEndpoints(TenEndpoints(silent.Port()), stop), InterruptException);
    EXPECT_LT(ElapsedMs(start), 1000);
    stopper.join();
  }
}

// A client that connects to the URL socket and says nothing holds the thread at most until the
// service stops, not for its whole second.
TEST(BrowserLink, UrlThreadLeavesASilentClientWhenStopped) {
  const std::string path = std::filesystem::temp_directory_path() / ("zeps-url-" + std::to_string(getpid()));
  WordPressClient settings(ServiceAddress{});
  StartRequests starts;
  CommandHandlers handlers(settings, starts);
  platform::Event stop(true);
  std::thread thread([&] { IncomingMessagesThreadProc(path, handlers, stop); });
  int client = -1;
  for (int i = 0; i < 100 && client < 0; ++i) {
    client = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(client);
      client = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_GE(client, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // accepted; now waiting for the message
  const auto start = std::chrono::steady_clock::now();
  stop.Set();
  thread.join();
  EXPECT_LT(ElapsedMs(start), 500);
  close(client);
  std::filesystem::remove(path);
}
