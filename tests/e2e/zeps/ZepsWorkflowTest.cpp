// The workflow's outcomes through the real zeps: session statuses, ranking failures, refused
// and failed handshakes, repeated starts, heartbeats, zep's exit codes, and stopping the
// service while zep runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/e2e/zeps/ZepsHarness.h"

using namespace zepstest;

namespace {

const char kSessionB[] = "5e55a0f1-0000-4000-8000-0000000000bb";
const char kSessionC[] = "5e55a0f1-0000-4000-8000-0000000000cc";
const char kSessionD[] = "5e55a0f1-0000-4000-8000-0000000000dd";
const char kSessionE[] = "5e55a0f1-0000-4000-8000-0000000000ee";
const char kSessionF[] = "5e55a0f1-0000-4000-8000-0000000000ff";
const char kSessionG[] = "5e55a0f1-0000-4000-8000-000000000011";
const char kActiveToken[] = "acc0acc0-0000-4000-8000-000000000001";

std::string SessionPath(const std::string& id) {
  return "/session-manager/sessions/" + id;
}

// A station that answers the three probes slowly, and once the probe connection is closed
// stops taking connections: its backlog is filled, so a later connect is never answered.
class AnswersProbesThenGoesDeaf {
 public:
  AnswersProbesThenGoesDeaf() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(listen(listener_, 0), 0);
    socklen_t len = sizeof sa;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this, sa] { Serve(sa); });
  }
  ~AnswersProbesThenGoesDeaf() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    for (int fd : fillers_) close(fd);
    close(listener_);
  }
  int Port() const { return port_; }
  std::string Json(const std::string& server, const std::string& city) const {
    return "{\"uuid\": \"u-" + server + "\", \"server_id\": \"" + server +
           "\", \"ip\": \"127.0.0.1\", \"base_port\": " + std::to_string(port_) +
           ", \"priority\": 1, \"city\": \"" + city + "\"}";
  }

 private:
  void Serve(sockaddr_in self) {
    const int conn = accept(listener_, nullptr, nullptr);
    if (conn < 0) return;
    char b = 0;
    while (recv(conn, &b, 1, 0) == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));  // slower than the station
      send(conn, &b, 1, MSG_NOSIGNAL);
    }
    close(conn);
    for (int i = 0; i < 3; ++i) {  // a backlog of 0 holds one connection; the rest are not answered
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
      fillers_.push_back(fd);
    }
  }
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
  std::thread thread_;
};

// Waits until the back-end saw `method path`; false after timeoutMs.
bool WaitRequest(const BackendSim& backend, const std::string& method, const std::string& path,
                 int timeoutMs) {
  return WaitFor([&] { return Find(backend.Requests(), method, path) >= 0; }, timeoutMs);
}

}  // namespace

// SIGTERM to zeps while zep runs: zep gets its SIGTERM and its grace period, the session is
// stopped on the back-end, and only then does zeps exit.
TEST(ZepsWorkflow, StoppingTheServiceClosesZepThenStopsTheSession) {
  StationProcess station({});
  BackendSim backend(ScenarioOf({SessionJson(kSession, "NEW", Endpoint(station, "srv", "Rome"))}));
  ServiceFolder folder(backend, "0\n");
  std::ofstream(folder.Dir() / "run-seconds") << "60";
  const pid_t zeps = folder.Start();
  ASSERT_TRUE(folder.WaitListening());
  ASSERT_NE(folder.OpenSsl(StartCommand(kSession)), -1);
  ASSERT_TRUE(WaitFor(
      [&] { return Find(backend.Requests(), "PUT", SessionPath(kSession) + "/activate") >= 0; }, 20000))
      << folder.Log();

  kill(zeps, SIGTERM);
  EXPECT_EQ(WaitExit(zeps, 20000), 0);
  EXPECT_EQ(Read(folder.Dir() / "signals"), "TERM\n") << "zep was asked to close, not killed";
  const std::vector<LoggedRequest> log = backend.Requests();
  EXPECT_GE(Find(log, "PUT", SessionPath(kSession) + "/stop"), 0) << folder.Log();
  EXPECT_EQ(AbortComment(log, kSession), "<none>");
  const std::string service = folder.Log();
  EXPECT_EQ(service.find("did not close within"), std::string::npos) << service;
  EXPECT_LT(service.find("/stop"), service.find("Client Service stopped")) << service;
}

// One service, one run after another: the session statuses, ranking that needs its extension
// to 8 s, ranking that nothing passes, a probe answered wrongly, a refused and a failed
// handshake, a repeated start, heartbeats at the default period, and a crashing zep.
TEST(ZepsWorkflow, SessionStatusesAndRankingOutcomes) {
  StationProcess station({});
  StationProcess slow({"--stall", "probe:0:4000"});       // answers only after the first 3 s
  StationProcess slower({"--stall", "probe:0:9000"});     // not even within 8 s
  StationProcess garbage({"--send-garbage", "probe:0"});  // answers a probe with 0xEE
  StationProcess refusing({"--reject-handshake"});
  AnswersProbesThenGoesDeaf deaf;
  const std::string rules = std::string("[{\"method\": \"PUT\", \"path\": \"") + SessionPath(kSessionF) +
                            "/start_handshake*\", \"status\": 403}]";
  BackendSim backend(ScenarioOf(
      {SessionJson("5e55a0f1-0000-4000-8000-0000000000aa", "CLOSED", Endpoint(station, "srv", "Rome")),
       SessionJson(kSessionB, "ACTIVE", Endpoint(station, "srv", "Rome"),
                   std::string(", \"session_tokens\": [\"") + kActiveToken + "\"]"),
       SessionJson(kSessionC, "HANDSHAKE", Endpoint(station, "srv", "Rome")),
       SessionJson(kSessionD, "NEW",
                   Endpoint(slow, "srv-slow", "Lima") + ", " + Endpoint(garbage, "srv-bad", "Oslo")),
       SessionJson(kSessionE, "NEW", Endpoint(slower, "srv-slower", "Pune")),
       SessionJson(kSessionF, "NEW", Endpoint(station, "srv", "Rome")),
       SessionJson(kSessionG, "NEW",
                   Endpoint(refusing, "srv-r", "Kyiv") + ", " + deaf.Json("srv-deaf", "Bern"))},
      rules));
  ServiceFolder folder(backend, "0\nsegv\n0\n", 0);
  const pid_t zeps = folder.Start();
  ASSERT_TRUE(folder.WaitListening());
  const std::string choice = std::string("/settings/setorupdateuserstationchoice/") + kToken;

  // An unknown status aborts with the reason itself.
  ASSERT_NE(folder.OpenSsl(StartCommand(kSession)), -1);
  ASSERT_TRUE(WaitFor([&] { return AbortComment(backend.Requests(), kSession) != "<none>"; }, 15000))
      << folder.Log();
  EXPECT_EQ(AbortComment(backend.Requests(), kSession), "session has unexpected status");

  // ACTIVE: no handshake start, no new session token, the existing one is zep's GUID; the
  // same start twice at once is taken once; heartbeats every 10 s while zep runs.
  std::ofstream(folder.Dir() / "run-seconds") << "21";
  const std::string online = std::string("/settings/setorupdateuserclientonline/") + kToken;
  const int onlineBefore = Count(backend.Requests(), "GET", online);
  {
    RawClient first(folder.Port());
    RawClient second(folder.Port());
    first.Send(ClientHelloFor(StartCommand(kSessionB)));
    second.Send(ClientHelloFor(StartCommand(kSessionB)));
    ASSERT_TRUE(WaitRequest(backend, "PUT", SessionPath(kSessionB) + "/stop", 40000)) << folder.Log();
  }
  std::vector<LoggedRequest> log = backend.Requests();
  EXPECT_EQ(Count(log, "GET", online) - onlineBefore, 1) << "the repeated start ran again";
  EXPECT_EQ(Count(log, "PUT", SessionPath(kSessionB) + "/start_handshake"), 0);
  EXPECT_EQ(Count(log, "POST", std::string("/server-manager/sessiontoken?sessionId=") + kSessionB), 0);
  EXPECT_NE(Read(folder.Dir() / "runs").find(std::string("[--from-guid][") + kActiveToken + "]"),
            std::string::npos);
  EXPECT_NE(folder.Log().find("Session is already ACTIVE, reconnecting to the server"), std::string::npos);
  std::vector<int64_t> beats;
  for (const LoggedRequest& r : log)
    if (r.method == "PUT" && (r.path == SessionPath(kSessionB) + "/activate" ||
                              r.path == SessionPath(kSessionB) + "/register_client_heartbeat"))
      beats.push_back(r.timeMs);
  ASSERT_EQ(beats.size(), 3u) << "activation and two heartbeats in 21 s";
  for (std::size_t i = 1; i < beats.size(); ++i) {
    EXPECT_GE(beats[i] - beats[i - 1], 9500);
    EXPECT_LE(beats[i] - beats[i - 1], 12000);
  }

  // HANDSHAKE: the station handshake without a handshake start; zep crashes (SIGSEGV), which
  // ends the run like any exit other than 1.
  std::ofstream(folder.Dir() / "run-seconds") << "0";
  ASSERT_NE(folder.OpenSsl(StartCommand(kSessionC)), -1);
  ASSERT_TRUE(WaitRequest(backend, "PUT", SessionPath(kSessionC) + "/stop", 20000)) << folder.Log();
  log = backend.Requests();
  EXPECT_EQ(Count(log, "PUT", SessionPath(kSessionC) + "/start_handshake"), 0);
  EXPECT_EQ(Count(log, "POST", std::string("/server-manager/sessiontoken?sessionId=") + kSessionC), 1);
  EXPECT_EQ(AbortComment(log, kSessionC), "<none>");
  EXPECT_NE(folder.Log().find("zep process was closed (exit code 139)"), std::string::npos) << folder.Log();
  bool handshakeC = false;
  for (int i = 0; i < 3 && !handshakeC; ++i)
    handshakeC =
        StationProcess::StringField(station.WaitForLine("\"handshake\"", 1000), "session") == kSessionC;
  EXPECT_TRUE(handshakeC);

  // Nothing answers within 3 s: the ranking goes on to 8 s and takes the slow station; the one
  // answering with another byte is dropped.
  ASSERT_NE(folder.OpenSsl(StartCommand(kSessionD)), -1);
  ASSERT_TRUE(WaitRequest(backend, "PUT", SessionPath(kSessionD) + "/stop", 30000)) << folder.Log();
  std::string service = folder.Log();
  EXPECT_NE(service.find("3 seconds too small (no servers answered), let's try 8"), std::string::npos);
  EXPECT_NE(service.find("Protocol failure on rtt test for 127.0.0.1"), std::string::npos);
  EXPECT_NE(Lines(folder.Dir() / "runs").back().find("[--port][" + std::to_string(slow.Port()) + "]"),
            std::string::npos);
  log = backend.Requests();
  EXPECT_EQ(log[Find(log, "GET", choice + "/",
                     Find(log, "GET", std::string("/session-manager/endpoints/") + kSessionD))]
                .path.back(),
            '1');

  // Nothing within 8 s either.
  const int runsBefore = static_cast<int>(Lines(folder.Dir() / "runs").size());
  ASSERT_NE(folder.OpenSsl(StartCommand(kSessionE)), -1);
  ASSERT_TRUE(WaitFor([&] { return AbortComment(backend.Requests(), kSessionE) != "<none>"; }, 30000))
      << folder.Log();
  EXPECT_EQ(AbortComment(backend.Requests(), kSessionE), "No endpoint has passed the test");
  EXPECT_EQ(static_cast<int>(Lines(folder.Dir() / "runs").size()), runsBefore);

  // A 4xx from the handshake start: abort, and with no other endpoint the run ends.
  ASSERT_NE(folder.OpenSsl(StartCommand(kSessionF)), -1);
  ASSERT_TRUE(WaitFor([&] { return AbortComment(backend.Requests(), kSessionF) != "<none>"; }, 15000))
      << folder.Log();
  EXPECT_EQ(AbortComment(backend.Requests(), kSessionF), "handshake 400 error");

  // The faster station refuses; the next one, on a copy of the session, never answers the connect.
  ASSERT_NE(folder.OpenSsl(StartCommand(kSessionG)), -1);
  ASSERT_TRUE(WaitFor([&] { return AbortComment(backend.Requests(), kCopy) != "<none>"; }, 30000))
      << folder.Log();
  log = backend.Requests();
  EXPECT_EQ(AbortComment(log, kSessionG), "mord returned 0");
  EXPECT_GE(Find(log, "PUT", SessionPath(kCopy) + "/start_handshake/srv-deaf"), 0);
  EXPECT_EQ(AbortComment(log, kCopy), "handshake connect failed");
  EXPECT_NE(folder.Log().find("Endpoint did not answer"), std::string::npos);
  EXPECT_EQ(static_cast<int>(Lines(folder.Dir() / "runs").size()), runsBefore);

  kill(zeps, SIGTERM);
  EXPECT_EQ(WaitExit(zeps, 20000), 0);
}
