// Whole runs of the real zeps: ranking, handshakes, launching and moving on, single instance,
// URL forwarding and a refused handshake.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/e2e/zeps/ZepsHarness.h"

using namespace zepstest;

// Start through the TLS side; the faster of two stations is tried first, "try next" moves to
// the slower one on a copy of the session, exit 0 stops it. Malformed and silent connections
// before the start must not take the listener down.
TEST(Zeps, WholeRunRanksHandshakesLaunchesAndMovesOn) {
  StationProcess slow({"--stall", "probe:0:400"});
  StationProcess fast({});
  BackendSim backend(
      Scenario(Endpoint(slow, "srv-slow", "Paris") + ", " + Endpoint(fast, "srv-fast", "New York")));
  ServiceFolder folder(backend, "1\n0\n");
  const pid_t zeps = folder.Start();
  ASSERT_TRUE(folder.WaitListening());

  RawClient silent(folder.Port());  // never sends: must cost at most its own time-out
  {
    RawClient garbage(folder.Port());
    const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    garbage.Send(std::vector<uint8_t>(http.begin(), http.end()));
  }
  EXPECT_NE(folder.OpenSsl("start.short"), -1);  // shorter than its fields
  const std::string start = std::string("start.") + kToken + "." + kSession + "1";
  EXPECT_NE(folder.OpenSsl(start), -1);

  ASSERT_TRUE(WaitFor(
      [&] {
        return Find(backend.Requests(), "PUT", std::string("/session-manager/sessions/") + kCopy + "/stop") >=
               0;
      },
      40000))
      << folder.Log();
  const std::vector<std::string> runs = Lines(folder.Dir() / "runs");
  ASSERT_EQ(runs.size(), 2u) << folder.Log();
  const std::vector<LoggedRequest> log = backend.Requests();
  const int token1 = Find(log, "POST", std::string("/server-manager/sessiontoken?sessionId=") + kSession);
  const int token2 = Find(log, "POST", std::string("/server-manager/sessiontoken?sessionId=") + kCopy);
  ASSERT_GE(token1, 0);
  ASSERT_GE(token2, 0);
  const std::string guid1 = log[token1].path.substr(log[token1].path.find("token=") + 6);
  const std::string guid2 = log[token2].path.substr(log[token2].path.find("token=") + 6);
  EXPECT_EQ(guid1.size(), 36u);
  EXPECT_NE(guid1, guid2);
  EXPECT_EQ(runs[0], "[127.0.0.1][--port][" + std::to_string(fast.Port()) + "][--token][" + kToken +
                         "][--session][" + kSession + "][--from-guid][" + guid1 +
                         "][--canTryNext][--city][New York]");
  EXPECT_EQ(runs[1], "[127.0.0.1][--port][" + std::to_string(slow.Port()) + "][--token][" + kToken +
                         "][--session][" + kCopy + "][--from-guid][" + guid2 + "][--city][Paris]");

  // The back-end saw the run in this order.
  const std::string s1 = std::string("/session-manager/sessions/") + kSession;
  const std::string s2 = std::string("/session-manager/sessions/") + kCopy;
  int at = Find(log, "GET", std::string("/settings/setorupdateuserclientonline/") + kToken);
  for (auto [method, path] : std::vector<std::pair<std::string, std::string>>{
           {"GET", std::string("/session-manager/endpoints/") + kSession},
           {"GET", std::string("/settings/setorupdateuserstationchoice/") + kToken},
           {"PUT", s1 + "/start_handshake/srv-fast"},
           {"POST", std::string("/server-manager/sessiontoken?sessionId=") + kSession},
           {"GET", s1},
           {"GET", "/server-manager/product/get/p1"},
           {"PUT", s1 + "/activate"},
           {"PUT", s1 + "/register_client_heartbeat"},
           {"PUT", s1 + "/abort"},
           {"POST", std::string("/session-manager/copy/") + kSession},
           {"PUT", s2 + "/start_handshake/srv-slow"},
           {"PUT", s2 + "/activate"},
           {"PUT", s2 + "/stop"}}) {
    ASSERT_GE(at, 0);
    const int next = Find(log, method, path, at);
    EXPECT_GT(next, at) << method << " " << path << " missing or out of order";
    if (next > at) at = next;
  }
  const int abort = Find(log, "PUT", s1 + "/abort");
  EXPECT_NE(log[abort].body.find("\"client unsatisfied\""), std::string::npos) << log[abort].body;
  EXPECT_EQ(
      log[Find(log, "GET", std::string("/settings/setorupdateuserstationchoice/") + kToken)].path.back(),
      '2');
  EXPECT_EQ(Find(log, "GET", std::string("/session-manager/endpoints/") + kSession, at), -1)
      << "one run only";

  // The stations saw the handshakes: session id and start flag.
  EXPECT_EQ(StationProcess::StringField(fast.WaitForLine("\"handshake\"", 1000), "session"), kSession);
  EXPECT_EQ(StationProcess::NumberField(fast.WaitForLine("\"handshake\"", 1000), "flag"), 1);
  EXPECT_EQ(StationProcess::StringField(slow.WaitForLine("\"handshake\"", 1000), "session"), kCopy);
  EXPECT_EQ(folder.GpuPreference(), "GpuPreference=1;");

  // zep holds nothing of the service's: no log file, no back-end connection, no socket pair.
  int listed = 0;
  const std::vector<std::string> inherited = InheritedDescriptors(folder.Dir(), listed);
  EXPECT_GE(listed, 6) << "both runs listed their descriptors";
  EXPECT_TRUE(inherited.empty()) << testing::PrintToString(inherited);

  kill(zeps, SIGTERM);
  EXPECT_EQ(WaitExit(zeps, 5000), 0);
  // The log sits beside zep's, in the application log folder, not in the service log folder.
  EXPECT_NE(folder.Log().find("Client Service stopped"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder.Dir() / "service-logs" / "vektaclientservice.log"));
  EXPECT_FALSE(fs::exists(folder.Dir() / "run" / "ConfirmSessionEvent"));
}

// One instance among 20 simultaneous starts; a URL given to a second zeps reaches it; a refused
// handshake aborts with its reason and launches nothing; the graphics preference a player set
// stays; a curl request carries a check command.
TEST(Zeps, SingleInstanceUrlForwardingAndRefusedHandshake) {
  StationProcess refusing({"--reject-handshake"});
  BackendSim backend(Scenario(Endpoint(refusing, "srv-r", "Oslo")));
  ServiceFolder folder(backend, "0\n");
  const std::string zepPath = (folder.Dir() / "zep").string();
  RegistryHelper(L"SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences")
      .WriteString(RegistryHelper::FromUtf8(zepPath), L"GpuPreference=2;");

  std::vector<pid_t> pids;
  for (int i = 0; i < 20; ++i) pids.push_back(folder.Start());
  int exited = 0;
  pid_t running = -1;
  for (pid_t p : pids) {
    int st = 0;
    if (WaitFor([&] { return waitpid(p, &st, WNOHANG) == p; }, 3000)) {
      EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 0);
      ++exited;
    } else {
      running = p;
    }
  }
  EXPECT_EQ(exited, 19);
  ASSERT_NE(running, -1);
  ASSERT_TRUE(folder.WaitListening());

  EXPECT_EQ(folder.Curl(std::string("check.") + kToken), 35);  // 35: TLS handshake failed, as it must
  ASSERT_TRUE(WaitFor(
      [&] {
        return Find(backend.Requests(), "GET",
                    std::string("/settings/setorupdateuserclientonline/") + kToken) >= 0;
      },
      5000));

  const std::string url = std::string("vekta:start/") + kToken + "/" + kSession + "0";
  EXPECT_EQ(WaitExit(folder.Start({url}), 5000), 0);
  ASSERT_TRUE(WaitFor(
      [&] {
        return Find(backend.Requests(), "PUT",
                    std::string("/session-manager/sessions/") + kSession + "/abort") >= 0;
      },
      15000))
      << folder.Log();
  const std::vector<LoggedRequest> log = backend.Requests();
  const int abort = Find(log, "PUT", std::string("/session-manager/sessions/") + kSession + "/abort");
  EXPECT_NE(log[abort].body.find("\"mord returned 0\""), std::string::npos) << log[abort].body;
  EXPECT_EQ(Find(log, "PUT", std::string("/session-manager/sessions/") + kSession + "/stop"), -1);
  EXPECT_EQ(StationProcess::NumberField(refusing.WaitForLine("\"handshake\"", 1000), "flag"), 0);
  EXPECT_FALSE(fs::exists(folder.Dir() / "runs"));
  EXPECT_EQ(folder.GpuPreference(), "GpuPreference=2;");

  kill(running, SIGTERM);
  EXPECT_EQ(WaitExit(running, 5000), 0);
}

// A hundred local connections that never speak must not delay a browser's hello: each pending
// connection has its own second, they are served side by side, and only a bounded number is held.
TEST(Zeps, BrowserLinkReadsAHelloBesideAHundredSilentConnections) {
  BackendSim backend(Scenario(""));
  ServiceFolder folder(backend, "0\n");
  const pid_t zeps = folder.Start();
  ASSERT_TRUE(folder.WaitListening());

  std::vector<int> silent;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(folder.Port());
  for (int i = 0; i < 100; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    silent.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int held = 0;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(zeps) + "/fd")) {
    std::error_code ec;
    held += fs::read_symlink(entry.path(), ec).string().rfind("socket:", 0) == 0 ? 1 : 0;
  }
  EXPECT_LE(held, 70) << "pending connections are capped";

  const std::string online = std::string("/settings/setorupdateuserclientonline/") + kToken;
  const int64_t start = MonotonicUs();
  EXPECT_NE(folder.OpenSsl(std::string("check.") + kToken), -1);
  ASSERT_TRUE(WaitFor([&] { return Find(backend.Requests(), "GET", online) >= 0; }, 20000)) << folder.Log();
  EXPECT_LT(MonotonicUs() - start, 5000000) << "the hello waited behind the silent connections";
  for (int fd : silent) close(fd);

  kill(zeps, SIGTERM);
  EXPECT_EQ(WaitExit(zeps, 20000), 0);
}

// Two users on one machine: the second user's zeps finds the port taken, says so once, still
// takes URLs, and takes the port over once it is free.
TEST(Zeps, BrowserPortTakenByAnotherUserIsReportedOnceAndUrlsStillWork) {
  BackendSim backend(Scenario(""));
  ServiceFolder folder(backend, "0\n");
  const int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // zeps must not inherit it
  const int one = 1;
  setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(folder.Port());
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(other, 8), 0);

  const pid_t zeps = folder.Start();
  const std::string message = "is in use by another program";
  ASSERT_TRUE(WaitFor([&] { return folder.Log().find(message) != std::string::npos; }, 10000))
      << folder.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));  // past the old one-second retries
  std::string log = folder.Log();
  EXPECT_EQ(log.find(message), log.rfind(message)) << "said once";
  EXPECT_EQ(log.find("Browser closed connection"), std::string::npos) << log;

  const std::string online = std::string("/settings/setorupdateuserclientonline/") + kToken;
  EXPECT_EQ(WaitExit(folder.Start({std::string("vekta:check/") + kToken}), 5000), 0);
  EXPECT_TRUE(WaitFor([&] { return Find(backend.Requests(), "GET", online) >= 0; }, 10000)) << folder.Log();

  close(other);
  ASSERT_TRUE(
      WaitFor([&] { return folder.Log().find("is free again and ours") != std::string::npos; }, 15000))
      << folder.Log();
  EXPECT_NE(folder.OpenSsl(std::string("check.") + kToken), -1);
  EXPECT_TRUE(WaitFor([&] { return Count(backend.Requests(), "GET", online) >= 2; }, 10000)) << folder.Log();

  kill(zeps, SIGTERM);
  EXPECT_EQ(WaitExit(zeps, 20000), 0);
}
