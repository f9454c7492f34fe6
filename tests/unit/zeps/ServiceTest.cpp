// Command positions, URL messages, closing a launched process, and presence over a fake
// Discord IPC server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/Event.h"
#include "sov/base/BaseException.h"
#include "zeps/BrowserLink.h"
#include "zeps/DiscordIpc.h"
#include "zeps/Launcher.h"

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

  platform::Event stop(true);
  using Clock = std::chrono::steady_clock;
  auto polite = platform::ChildProcess::Spawn({{"/bin/sleep", "30"}, "", {}, std::nullopt});
  auto t0 = Clock::now();
  Launcher::Close(polite, stop);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(polite.ExitCode(), 128 + SIGTERM);

  // Ignores SIGTERM: killed once the grace period is over (cut short here by the stop event).
  auto stubborn =
      platform::ChildProcess::Spawn({{"/bin/sh", "-c", "trap '' TERM; sleep 30"}, "", {}, std::nullopt});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the shell install its trap
  std::thread([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.Set();
  }).detach();
  t0 = Clock::now();
  Launcher::Close(stubborn, stop);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(250));
  EXPECT_EQ(stubborn.ExitCode(), 128 + SIGKILL);
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
