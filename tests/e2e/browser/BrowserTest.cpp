// A real browser starts a session: headless Chromium opens the reference back-end's play page,
// whose Play button opens the local browser link with the start command as the TLS server name.
// The real zeps runs the workflow against the reference back-end and station and launches the
// real zep, headless, which streams.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "tests/e2e/SpawnProcess.h"
#include "tests/integration/station/StationHarness.h"
#include "tests/unit/http/BackendSim.h"

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::StationProcess;

namespace {

const char kToken[] = "11111111-2222-3333-4444-555555555555";
const char kSession[] = "5e55a0f1-0000-4000-8000-0000000000b1";
// Debian's chromium; ZEP_TEST_CHROMIUM names another build of it.
std::string ChromiumPath() {
  const char* given = std::getenv("ZEP_TEST_CHROMIUM");
  return given && *given ? given : "/usr/bin/chromium";
}

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
  while (!done()) {
    if (MonotonicUs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

int Find(const std::vector<LoggedRequest>& log, const std::string& method, const std::string& path,
         int from = 0) {
  for (std::size_t i = static_cast<std::size_t>(from); i < log.size(); ++i)
    if (log[i].method == method && log[i].path.rfind(path, 0) == 0) return static_cast<int>(i);
  return -1;
}

// Process ids whose command line holds `needle` (zep, found by its session argument).
std::vector<pid_t> ProcessesWith(const std::string& needle) {
  std::vector<pid_t> out;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmd = Read(entry.path() / "cmdline");
    for (char& c : cmd)
      if (c == '\0') c = ' ';
    if (cmd.find(needle) != std::string::npos && cmd.find("chromium") == std::string::npos)
      out.push_back(std::stoi(name));
  }
  return out;
}

// The browser in its own session, so that it and every helper process it forks end together.
class Browser {
 public:
  Browser(const fs::path& dir, const std::string& url) : dir_(dir) {
    std::vector<std::string> env = {"HOME=" + (dir / "home").string(), "PATH=/usr/bin:/bin"};
    fs::create_directories(dir / "home");
    pid_ = e2e::SpawnProcess({"/usr/bin/setsid", ChromiumPath(), "--headless=new", "--no-sandbox",
                              "--disable-gpu", "--no-first-run", "--disable-background-networking",
                              "--ignore-certificate-errors", "--user-data-dir=" + (dir / "profile").string(),
                              // The start command's host name is the local service, as a page's would be.
                              "--host-resolver-rules=MAP start.* 127.0.0.1", url},
                             env, dir, dir / "browser.out", dir / "browser.err");
  }
  ~Browser() { Stop(); }
  bool Running() {
    if (pid_ <= 0) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      exitStatus_ = st;
      pid_ = -1;
      return false;
    }
    return true;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    if (!WaitFor([&] { return !Running(); }, 5000)) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    kill(-pid_, SIGKILL);
  }
  std::string Why() const {
    std::string err = Read(dir_ / "browser.err");
    if (err.size() > 1500) err = "..." + err.substr(err.size() - 1500);
    const std::string how = WIFEXITED(exitStatus_) ? "exit code " + std::to_string(WEXITSTATUS(exitStatus_))
                                                   : "signal " + std::to_string(WTERMSIG(exitStatus_));
    return how + ", standard error:\n" + err;
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int exitStatus_ = 0;
};

}  // namespace

TEST(Browser, PlayButtonStartsASessionThatStreams) {
  if (!fs::exists(ChromiumPath()))
    GTEST_SKIP() << "no " << ChromiumPath() << " (scripts/install-deps.sh installs chromium)";
  StationProcess station({});
  BackendSim backend(std::string("{\"tokens\": [\"") + kToken +
                     "\"], \"products\": {\"p1\": \"Browser Game\"}, \"sessions\": {\"" + kSession +
                     "\": {\"status\": \"NEW\", \"product_id\": \"p1\", \"endpoints\": [{\"uuid\": \"u1\", "
                     "\"server_id\": \"srv-1\", \"ip\": \"127.0.0.1\", \"base_port\": " +
                     std::to_string(station.Port()) + ", \"priority\": 1, \"city\": \"Lisbon\"}]}}}");

  char tmpl[] = "/tmp/zep-browser-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  struct Cleanup {
    fs::path dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};
  fs::create_directories(dir / "run");
  fs::permissions(dir / "run", fs::perms::owner_all);
  const uint16_t linkPort = UnusedLoopbackPort();
  {
    std::ofstream cfg(dir / "client-config.cfg");
    for (const char* service : {"SessionManager", "ServerManager", "TokenVerifier", "Settings"})
      cfg << service << "Host = 127.0.0.1\n" << service << "Port = " << backend.Port() << "\n";
    cfg << "HttpsCaFile = " << backend.CaFile() << "\nBrowserLinkPort = " << linkPort
        << "\nLaunchAsServiceUser = true\nlogger.applicationlog = " << (dir / "logs").string() << "\n";
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    if (v.rfind("XDG_", 0) != 0 && v.rfind("SDL_", 0) != 0 && v.rfind("DISPLAY=", 0) != 0) env.push_back(v);
  }
  // zep runs in its own folder without a configuration file, so its logs go to the state home.
  for (const char* v : {"RUNTIME_DIR=run", "CONFIG_HOME=config", "STATE_HOME=state"}) {
    const std::string item = v;
    const std::size_t eq = item.find('=');
    env.push_back("XDG_" + item.substr(0, eq + 1) + (dir / item.substr(eq + 1)).string());
  }
  env.push_back("SDL_VIDEODRIVER=offscreen");
  env.push_back("SDL_AUDIODRIVER=dummy");
  const pid_t zeps =
      e2e::SpawnProcess({ZEP_BINARY_DIR "/bin/zeps"}, env, dir, dir / "zeps.out", dir / "zeps.err");
  ASSERT_GT(zeps, 0);
  ASSERT_TRUE(WaitFor(
      [&] {
        return Read(dir / "logs" / "vektaclientservice.log").find("Client Service Started") !=
               std::string::npos;
      },
      10000));

  const std::string page = "https://127.0.0.1:" + std::to_string(backend.Port()) + "/play?token=" + kToken +
                           "&session=" + kSession + "&flag=1&port=" + std::to_string(linkPort) +
                           "&autoplay=1";
  Browser browser(dir, page);
  const bool pageLoaded =
      WaitFor([&] { return Find(backend.Requests(), "GET", "/play?") >= 0 || !browser.Running(); }, 60000);
  if (Find(backend.Requests(), "GET", "/play?") < 0) {
    kill(zeps, SIGKILL);
    waitpid(zeps, nullptr, 0);
    if (!browser.Running()) GTEST_SKIP() << "Chromium cannot start here: " << browser.Why();
    FAIL() << "Chromium runs but did not load the page within 60 s (loaded " << pageLoaded << ")";
  }

  // The start command reached zeps by the server name, and the workflow ran.
  const std::string s = std::string("/session-manager/sessions/") + kSession;
  ASSERT_TRUE(
      WaitFor([&] { return Find(backend.Requests(), "POST", "/server-manager/sessiontoken?") >= 0; }, 60000))
      << Read(dir / "logs" / "vektaclientservice.log");
  // zep's channels greet the station with the session token it was launched with.
  std::vector<LoggedRequest> log = backend.Requests();
  const int tokenAt = Find(log, "POST", std::string("/server-manager/sessiontoken?sessionId=") + kSession);
  ASSERT_GE(tokenAt, 0);
  const std::string guid = log[tokenAt].path.substr(log[tokenAt].path.find("token=") + 6);
  ASSERT_EQ(guid.size(), 36u);
  const fs::path zepLog = dir / "state" / "Vekta" / "Logs" / "vektaclient.log";
  EXPECT_TRUE(WaitFor(
      [&] {
        std::set<std::string> channels;
        for (const std::string& l : station.Lines("\"greeting\""))
          if (StationProcess::StringField(l, "guid") == guid)
            channels.insert(StationProcess::StringField(l, "channel"));
        return channels.count("video") && channels.count("audio") && channels.count("api") &&
               channels.count("mouse") && channels.count("control");
      },
      60000))
      << station.Log();
  // It streams: pictures presented, once a second in its log.
  EXPECT_TRUE(WaitFor(
      [&] {
        const std::string text = Read(zepLog);
        for (std::size_t at = text.find("] Video: "); at != std::string::npos;
             at = text.find("] Video: ", at + 1))
          if (std::atoi(text.c_str() + at + 9) >= 10) return true;
        return false;
      },
      60000))
      << Read(zepLog);
  browser.Stop();

  log = backend.Requests();
  int at = Find(log, "GET", "/play?");
  for (auto [method, path] : std::vector<std::pair<std::string, std::string>>{
           {"GET", std::string("/settings/setorupdateuserclientonline/") + kToken},
           {"GET", std::string("/session-manager/endpoints/") + kSession},
           {"PUT", s + "/start_handshake/srv-1"},
           {"POST", std::string("/server-manager/sessiontoken?sessionId=") + kSession}}) {
    const int next = Find(log, method, path, at);
    EXPECT_GT(next, at) << method << " " << path << " missing or out of order";
    if (next > at) at = next;
  }
  const std::string handshake = station.WaitForLine("\"handshake\"", 1000);
  EXPECT_EQ(StationProcess::StringField(handshake, "session"), kSession);
  EXPECT_EQ(StationProcess::NumberField(handshake, "flag"), 1);
  EXPECT_NE(
      Read(dir / "logs" / "vektaclientservice.log")
          .find("Launching \"" ZEP_BINARY_DIR "/bin/zep\"127.0.0.1 --port " + std::to_string(station.Port())),
      std::string::npos);

  // Stopping the service closes the zep it started.
  ASSERT_FALSE(ProcessesWith(guid).empty());
  kill(zeps, SIGTERM);
  int st = 0;
  EXPECT_TRUE(WaitFor([&] { return waitpid(zeps, &st, WNOHANG) == zeps; }, 20000));
  EXPECT_TRUE(WaitFor([&] { return ProcessesWith(guid).empty(); }, 10000));
  for (pid_t p : ProcessesWith(guid)) kill(p, SIGKILL);
}

// The page's values land in its script: anything a host name label cannot hold is refused.
TEST(Browser, PlayPageTakesOnlyHostNameLabels) {
  BackendSim backend("{}");
  auto get = [&](const std::string& query, std::string* body = nullptr) {
    const std::string cmd =
        "/usr/bin/curl -sk -o - -w '\\n%{http_code}' 'https://127.0.0.1:" + std::to_string(backend.Port()) +
        "/play?" + query + "'";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[4096];
      for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
      pclose(p);
    }
    const std::size_t nl = out.rfind('\n');
    if (body) *body = out.substr(0, nl == std::string::npos ? 0 : nl);
    return nl == std::string::npos ? 0 : std::atoi(out.c_str() + nl + 1);
  };
  std::string page;
  ASSERT_EQ(get("token=ab-12&session=cd-34&flag=0&port=4321", &page), 200);
  EXPECT_NE(page.find("\"https://start.ab-12.cd-340:4321/\""), std::string::npos) << page;
  EXPECT_EQ(page.find("addEventListener(\"load\""), std::string::npos) << "no autoplay unless asked";
  ASSERT_EQ(get("token=ab&session=cd&autoplay=1", &page), 200);
  EXPECT_NE(page.find("\"https://start.ab.cd1:40109/\""), std::string::npos) << page;
  EXPECT_NE(page.find("addEventListener(\"load\""), std::string::npos);
  for (const char* bad : {"token=a%22b&session=cd", "token=ab&session=%3C/script%3E", "token=ab",
                          "session=cd", "token=ab&session=cd&flag=2", "token=ab&session=cd&port=70000",
                          "token=ab&session=cd&port=0", "token=ab&session=cd&port=12a"})
    EXPECT_EQ(get(bad), 400) << bad;
}
