// The real zeps against the reference back-end and stations on loopback, with a stand-in zep
// script beside a copy of zeps that records its arguments and exits with scripted codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "mord/registry/RegistryHelper.h"
#include "tests/integration/station/StationHarness.h"
#include "tests/unit/http/BackendSim.h"

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::RawClient;
using stationtest::StationProcess;

namespace {

const char kToken[] = "11111111-2222-3333-4444-555555555555";
const char kSession[] = "5e55a0f1-0000-4000-8000-0000000000aa";
const char kCopy[] = "c0b1e5e5-0000-4000-8000-000000000001";

const char kStandInZep[] = R"SH(#!/bin/sh
d=$(dirname "$0")
line=""
for a in "$@"; do line="$line[$a]"; done
echo "$line" >> "$d/runs"
n=$(wc -l < "$d/runs")
printf x > "$XDG_RUNTIME_DIR/ConfirmSessionEvent"
sleep "$(cat "$d/run-seconds")"
code=$(sed -n "${n}p" "$d/exit-codes")
echo "$code" >> "$d/exits"
exit "${code:-0}"
)SH";

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const fs::path& p) {
  std::vector<std::string> out;
  std::istringstream in(Read(p));
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
  while (!done()) {
    if (MonotonicUs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& cwd) {
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  const int r = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

// Exit status, or -1 when it still ran after timeoutMs (it is then killed).
int WaitExit(pid_t pid, int timeoutMs) {
  int st = 0;
  const bool ended = WaitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeoutMs);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return -1;
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// A folder with a copy of zeps, the stand-in zep beside it, the configuration and the user's
// runtime and settings folders.
class ServiceFolder {
 public:
  ServiceFolder(const BackendSim& backend, const std::string& exitCodes) {
    char tmpl[] = "/tmp/zeps-e2e-XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all);
    fs::copy_file(ZEP_BINARY_DIR "/bin/zeps", dir_ / "zeps");
    std::ofstream(dir_ / "zep") << kStandInZep;
    fs::permissions(dir_ / "zep", fs::perms::owner_all);
    std::ofstream(dir_ / "exit-codes") << exitCodes;
    std::ofstream(dir_ / "run-seconds") << "1";
    port_ = UnusedLoopbackPort();
    std::ofstream cfg(dir_ / "client-config.cfg");
    for (const char* service : {"SessionManager", "ServerManager", "TokenVerifier", "Settings"})
      cfg << service << "Host = 127.0.0.1\n" << service << "Port = " << backend.Port() << "\n";
    cfg << "HttpsCaFile = " << backend.CaFile() << "\nBrowserLinkPort = " << port_
        << "\nLaunchAsServiceUser = true\nServiceHeartbeatMs = 300\nlogger.applicationlog = "
        << (dir_ / "logs").string() << "\nlogger.servicelog = " << (dir_ / "service-logs").string() << "\n";
    for (char** e = environ; *e != nullptr; ++e) {
      std::string v = *e;
      if (v.rfind("XDG_RUNTIME_DIR=", 0) != 0 && v.rfind("XDG_CONFIG_HOME=", 0) != 0) env_.push_back(v);
    }
    env_.push_back("XDG_RUNTIME_DIR=" + (dir_ / "run").string());
    env_.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);  // this test's view of the settings store
  }
  ~ServiceFolder() {
    for (pid_t p : started_) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, WNOHANG);
    }
    fs::remove_all(dir_);
  }

  pid_t Start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), (dir_ / "zeps").string());
    const pid_t pid = Spawn(args, env_, dir_.string());
    started_.push_back(pid);
    return pid;
  }
  bool WaitListening() const {
    return WaitFor(
        [&] {
          try {
            RawClient probe(port_);
            return true;
          } catch (const std::exception&) {
            return false;
          }
        },
        10000);
  }
  // Sends a ClientHello carrying `name` with a real TLS client; it gives up when we close.
  int OpenSsl(const std::string& name) const {
    return WaitExit(Spawn({"/usr/bin/openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port_),
                           "-servername", name},
                          env_, ""),
                    10000);
  }
  int Curl(const std::string& host) const {
    const std::string p = std::to_string(port_);
    return WaitExit(Spawn({"/usr/bin/curl", "-s", "--max-time", "5", "--resolve",
                           host + ":" + p + ":127.0.0.1", "https://" + host + ":" + p + "/"},
                          env_, ""),
                    10000);
  }
  std::string GpuPreference() const {
    auto v = RegistryHelper(L"SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences")
                 .ReadString(RegistryHelper::FromUtf8((dir_ / "zep").string()));
    return v ? RegistryHelper::ToUtf8(*v) : "<absent>";
  }
  const fs::path& Dir() const { return dir_; }
  uint16_t Port() const { return port_; }
  std::string Log() const { return Read(dir_ / "logs" / "vektaclientservice.log"); }

 private:
  fs::path dir_;
  uint16_t port_ = 0;
  std::vector<std::string> env_;
  std::vector<pid_t> started_;
};

std::string Endpoint(const StationProcess& s, const std::string& server, const std::string& city) {
  return "{\"uuid\": \"u-" + server + "\", \"server_id\": \"" + server +
         "\", \"ip\": \"127.0.0.1\", \"base_port\": " + std::to_string(s.Port()) +
         ", \"priority\": 1, \"city\": \"" + city + "\"}";
}

std::string Scenario(const std::string& endpoints) {
  return std::string("{\"tokens\": [\"") + kToken +
         "\"], \"products\": {\"p1\": \"Space Game\"}, \"sessions\": {\"" + kSession +
         "\": {\"status\": \"NEW\", \"product_id\": \"p1\", \"endpoints\": [" + endpoints + "]}}}";
}

// Index of the first logged request matching method and path start, from `from`; -1 if none.
int Find(const std::vector<LoggedRequest>& log, const std::string& method, const std::string& path,
         int from = 0) {
  for (std::size_t i = static_cast<std::size_t>(from); i < log.size(); ++i)
    if (log[i].method == method && log[i].path.rfind(path, 0) == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace

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
