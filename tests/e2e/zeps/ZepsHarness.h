#pragma once
// The real zeps against the reference back-end and stations on loopback, with a stand-in zep
// script beside a copy of zeps that records its arguments, its descriptors and the signals it
// gets, and exits with scripted codes ("segv" crashes it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "mord/json/Json.h"
#include "mord/registry/RegistryHelper.h"
#include "tests/integration/station/StationHarness.h"
#include "tests/unit/http/BackendSim.h"

namespace zepstest {

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::RawClient;
using stationtest::StationProcess;

inline const char kToken[] = "11111111-2222-3333-4444-555555555555";
inline const char kSession[] = "5e55a0f1-0000-4000-8000-0000000000aa";
inline const char kCopy[] = "c0b1e5e5-0000-4000-8000-000000000001";

inline const char kStandInZep[] = R"SH(#!/bin/sh
d=$(dirname "$0")
ulimit -c 0
ls -l /proc/self/fd >> "$d/fds"
line=""
for a in "$@"; do line="$line[$a]"; done
echo "$line" >> "$d/runs"
n=$(wc -l < "$d/runs")
printf x > "$XDG_RUNTIME_DIR/ConfirmSessionEvent"
trap 'echo TERM >> "$d/signals"; kill $sleeper; exit 0' TERM
sleep "$(cat "$d/run-seconds")" &
sleeper=$!
wait $sleeper
code=$(sed -n "${n}p" "$d/exit-codes")
echo "$code" >> "$d/exits"
if [ "$code" = segv ]; then kill -SEGV $$; fi
exit "${code:-0}"
)SH";

inline std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> Lines(const fs::path& p) {
  std::vector<std::string> out;
  std::istringstream in(Read(p));
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
  while (!done()) {
    if (MonotonicUs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

inline pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
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
inline int WaitExit(pid_t pid, int timeoutMs) {
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
  // heartbeatMs 0: the service's default period.
  ServiceFolder(const BackendSim& backend, const std::string& exitCodes, int heartbeatMs = 300) {
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
        << "\nLaunchAsServiceUser = true\n"
        << (heartbeatMs > 0 ? "ServiceHeartbeatMs = " + std::to_string(heartbeatMs) + "\n" : std::string())
        << "logger.applicationlog = " << (dir_ / "logs").string()
        << "\nlogger.servicelog = " << (dir_ / "service-logs").string() << "\n";
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

inline std::string Endpoint(const StationProcess& s, const std::string& server, const std::string& city) {
  return "{\"uuid\": \"u-" + server + "\", \"server_id\": \"" + server +
         "\", \"ip\": \"127.0.0.1\", \"base_port\": " + std::to_string(s.Port()) +
         ", \"priority\": 1, \"city\": \"" + city + "\"}";
}

inline std::string Scenario(const std::string& endpoints) {
  return std::string("{\"tokens\": [\"") + kToken +
         "\"], \"products\": {\"p1\": \"Space Game\"}, \"sessions\": {\"" + kSession +
         "\": {\"status\": \"NEW\", \"product_id\": \"p1\", \"endpoints\": [" + endpoints + "]}}}";
}

// One session of a scenario: "id": {...}; `extra` adds members (", \"session_tokens\": [...]").
inline std::string SessionJson(const std::string& id, const std::string& status, const std::string& endpoints,
                               const std::string& extra = "") {
  return "\"" + id + "\": {\"status\": \"" + status + "\", \"product_id\": \"p1\", \"endpoints\": [" +
         endpoints + "]" + extra + "}";
}

// Several sessions and scripted rules.
inline std::string ScenarioOf(const std::vector<std::string>& sessions, const std::string& rules = "[]") {
  std::string joined;
  for (const std::string& s : sessions) joined += (joined.empty() ? "" : ", ") + s;
  return std::string("{\"tokens\": [\"") + kToken +
         "\"], \"products\": {\"p1\": \"Space Game\"}, \"sessions\": {" + joined + "}, \"rules\": " + rules +
         "}";
}

inline std::string StartCommand(const std::string& session, char flag = '1') {
  return std::string("start.") + kToken + "." + session + flag;
}

// The abort comment the back-end got for a session ("<none>" without an abort).
inline std::string AbortComment(const std::vector<LoggedRequest>& log, const std::string& session) {
  for (const LoggedRequest& r : log)
    if (r.method == "PUT" && r.path == "/session-manager/sessions/" + session + "/abort") {
      const JsonObject body(r.body);
      return body.GetString("abort_comment");
    }
  return "<none>";
}

// A minimal TLS 1.2 ClientHello record whose server name is `name`.
inline std::vector<uint8_t> ClientHelloFor(const std::string& name) {
  auto be16 = [](std::vector<uint8_t>& v, std::size_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
  };
  std::vector<uint8_t> sni;
  be16(sni, name.size() + 3);  // the list
  sni.push_back(0);            // host name
  be16(sni, name.size());
  sni.insert(sni.end(), name.begin(), name.end());
  std::vector<uint8_t> extensions;
  be16(extensions, sni.size() + 4);
  be16(extensions, 0);  // server_name
  be16(extensions, sni.size());
  extensions.insert(extensions.end(), sni.begin(), sni.end());
  std::vector<uint8_t> body = {0x03, 0x03};
  body.resize(body.size() + 32, 0);                               // random
  body.push_back(0);                                              // no session id
  body.insert(body.end(), {0x00, 0x02, 0x13, 0x01, 0x01, 0x00});  // one cipher suite, no compression
  body.insert(body.end(), extensions.begin(), extensions.end());
  std::vector<uint8_t> record = {22, 0x03, 0x01};
  be16(record, body.size() + 4);
  record.insert(record.end(),
                {1, 0, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())});
  record.insert(record.end(), body.begin(), body.end());
  return record;
}

// How many logged requests match method and path start.
inline int Count(const std::vector<LoggedRequest>& log, const std::string& method, const std::string& path) {
  int n = 0;
  for (const LoggedRequest& r : log) n += r.method == method && r.path.rfind(path, 0) == 0 ? 1 : 0;
  return n;
}

// Descriptors above 2 that the stand-in zep passed on to a program it ran ("N -> target" each),
// other than that program's own handle on the folder it lists.
inline std::vector<std::string> InheritedDescriptors(const fs::path& dir, int& listed) {
  std::vector<std::string> extra;
  listed = 0;
  for (const std::string& line : Lines(dir / "fds")) {
    const std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    ++listed;
    const std::size_t blank = line.rfind(' ', arrow - 1);
    const std::string fd = line.substr(blank + 1, arrow - blank - 1);
    const std::string target = line.substr(arrow + 4);
    const bool listing = target.rfind("/proc/", 0) == 0 && target.size() > 9 &&
                         target.compare(target.size() - 3, 3, "/fd") == 0;
    if (std::stoi(fd) > 2 && !listing) extra.push_back(fd + " -> " + target);
  }
  return extra;
}

// Index of the first logged request matching method and path start, from `from`; -1 if none.
inline int Find(const std::vector<LoggedRequest>& log, const std::string& method, const std::string& path,
                int from = 0) {
  for (std::size_t i = static_cast<std::size_t>(from); i < log.size(); ++i)
    if (log[i].method == method && log[i].path.rfind(path, 0) == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace zepstest
