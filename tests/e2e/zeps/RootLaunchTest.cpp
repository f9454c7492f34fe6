// A root service starts zep as the desktop's user: here a scratch user made for the test, with a
// session source standing in for logind (a build machine has no graphical session). The
// workflow runs in this process against the reference back-end and station.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mord/services/ServiceClients.h"
#include "platform/Process.h"
#include "sov/config/Config.h"
#include "tests/e2e/zeps/ZepsHarness.h"
#include "zeps/ClientWorkflow.h"

using namespace zepstest;

namespace {

const char kSessionB[] = "5e55a0f1-0000-4000-8000-0000000000bb";

const char kUserZep[] = R"SH(#!/bin/sh
o=$(dirname "$0")/out
id -u > "$o/uid"
env > "$o/env"
ls -l /proc/self/fd > "$o/fds"
printf x > "$XDG_RUNTIME_DIR/ConfirmSessionEvent" && echo confirmed > "$o/confirmed"
trap 'echo TERM > "$o/term"; kill $sleeper; exit 0' TERM
sleep 60 &
sleeper=$!
wait $sleeper
)SH";

int Run(const std::vector<std::string>& args) {
  return WaitExit(Spawn(args, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, ""), 30000);
}

// A user for one test, removed with its group afterwards.
class ScratchUser {
 public:
  ScratchUser() : name_("zepst" + std::to_string(getpid())) {
    ok_ = Run({"/usr/sbin/useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", "--user-group",
               name_}) == 0;
    if (const passwd* p = getpwnam(name_.c_str()); ok_ && p != nullptr) {
      uid_ = p->pw_uid;
      gid_ = p->pw_gid;
    } else {
      ok_ = false;
    }
  }
  ~ScratchUser() {
    if (ok_) Run({"/usr/sbin/userdel", name_});
  }
  bool Ok() const { return ok_; }
  uid_t Uid() const { return uid_; }
  gid_t Gid() const { return gid_; }
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  bool ok_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

std::string Env(const std::string& env, const std::string& name) {
  std::istringstream in(env);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  return "<absent>";
}

}  // namespace

TEST(ZepsRoot, ZepRunsAsTheSessionUserWithItsEnvironmentAndConfirms) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the test creates a user";
  ScratchUser user;
  ASSERT_TRUE(user.Ok()) << "useradd failed";

  char tmpl[] = "/tmp/zeps-root-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  // zep is a small program that records its signal state and runs the script zep.sh.
  fs::copy_file(ZEP_BINARY_DIR "/tests/zep-probe", dir / "zep");
  std::ofstream(dir / "zep.sh") << kUserZep;
  for (const char* file : {"zep", "zep.sh"})
    fs::permissions(dir / file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  for (const char* sub : {"out", "runtime"}) {
    fs::create_directories(dir / sub);
    ASSERT_EQ(chown((dir / sub).c_str(), user.Uid(), user.Gid()), 0);
  }
  fs::permissions(dir / "runtime", fs::perms::owner_all);
  // A zep the user may not run, to see the failure in the child reported as such.
  fs::create_directories(dir / "locked");
  std::ofstream(dir / "locked" / "zep") << kUserZep;
  fs::permissions(dir / "locked" / "zep", fs::perms::owner_all);

  StationProcess station({});
  BackendSim backend(ScenarioOf({SessionJson(kSession, "NEW", zepstest::Endpoint(station, "srv", "Rome")),
                                 SessionJson(kSessionB, "NEW", zepstest::Endpoint(station, "srv", "Rome"))}));
  {
    std::ofstream cfg(dir / "client-config.cfg");
    for (const char* service : {"SessionManager", "ServerManager", "TokenVerifier", "Settings"})
      cfg << service << "Host = 127.0.0.1\n" << service << "Port = " << backend.Port() << "\n";
    cfg << "HttpsCaFile = " << backend.CaFile() << "\n";
  }
  Config::Instance().Load((dir / "client-config.cfg").string());
  platform::Event clientsStop(true);
  ServiceClients clients = ServiceClients::FromConfig(Config::Instance(), &clientsStop);

  platform::DesktopSession session;
  session.user = {user.Uid(), user.Gid(), {user.Gid()}};
  session.home = dir.string();
  session.runtimeFolder = (dir / "runtime").string();
  session.env = {"HOME=" + dir.string(), "USER=" + user.Name(), "XDG_RUNTIME_DIR=" + session.runtimeFolder,
                 "DISPLAY=:99", "LANG=C.UTF-8"};
  auto source = [&]() -> std::optional<platform::DesktopSession> { return session; };

  // As in the service: SIGTERM and SIGINT blocked in every thread, and SIGPIPE ignored here.
  setenv("ZEPS_ROOT_ONLY", "secret", 1);
  sigset_t stopSignals, before;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &before);
  const auto pipeBefore = signal(SIGPIPE, SIG_IGN);

  PresenceRecord presence;
  {
    platform::Event stop(true);
    Launcher launcher(dir.string(), true, false, "/nonexistent-runtime", source);
    ClientWorkflow workflow({*clients.sessionManager,
                             *clients.serverManager,
                             *clients.settings,
                             presence,
                             launcher,
                             stop,
                             300,
                             {}});
    std::thread run([&] {
      try {
        workflow.Do({kToken, kSession, 1});
      } catch (const InterruptException&) {
        // the stop below
      }
    });
    const bool confirmed = WaitFor([&] { return fs::exists(dir / "out" / "confirmed"); }, 20000);
    struct stat fifo {};
    const int statResult = stat((dir / "runtime" / "ConfirmSessionEvent").c_str(), &fifo);
    const bool activated = WaitFor(
        [&] {
          return Find(backend.Requests(), "PUT",
                      "/session-manager/sessions/" + std::string(kSession) + "/activate") >= 0;
        },
        10000);
    stop.Set();  // the service stopping: zep is asked to close, then the session is stopped
    run.join();
    ASSERT_TRUE(confirmed) << "zep found no ConfirmSessionEvent";
    EXPECT_TRUE(activated);
    ASSERT_EQ(statResult, 0);
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(fifo.st_uid, user.Uid());
    EXPECT_EQ(fifo.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(Read(dir / "out" / "uid"), std::to_string(user.Uid()) + "\n");
  const std::string env = Read(dir / "out" / "env");
  EXPECT_EQ(Env(env, "DISPLAY"), ":99");
  EXPECT_EQ(Env(env, "XDG_RUNTIME_DIR"), (dir / "runtime").string());
  EXPECT_EQ(Env(env, "LANG"), "C.UTF-8");
  EXPECT_EQ(Env(env, "DRI_PRIME"), "1");
  EXPECT_EQ(Env(env, "ZEPS_ROOT_ONLY"), "<absent>") << "root's environment reached zep";
  EXPECT_EQ(Read(dir / "out" / "signals"), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  EXPECT_EQ(Read(dir / "out" / "term"), "TERM\n") << "zep was not closed gracefully";
  int listed = 0;
  const std::vector<std::string> inherited = InheritedDescriptors(dir / "out", listed);
  EXPECT_GE(listed, 3);
  EXPECT_TRUE(inherited.empty()) << testing::PrintToString(inherited);
  EXPECT_GE(Find(backend.Requests(), "PUT", "/session-manager/sessions/" + std::string(kSession) + "/stop"),
            0);

  // A zep the user cannot run: the run is aborted with the child's error, not taken for zep
  // closing.
  {
    platform::Event stop(true);
    Launcher locked((dir / "locked").string(), false, false, "/nonexistent-runtime", source);
    ClientWorkflow workflow({*clients.sessionManager,
                             *clients.serverManager,
                             *clients.settings,
                             presence,
                             locked,
                             stop,
                             300,
                             {}});
    workflow.Do({kToken, kSessionB, 1});
    const std::vector<LoggedRequest> log = backend.Requests();
    EXPECT_EQ(AbortComment(log, kSessionB), "Permission denied");
    EXPECT_EQ(Find(log, "PUT", "/session-manager/sessions/" + std::string(kSessionB) + "/stop"), -1);
  }

  signal(SIGPIPE, pipeBefore);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  unsetenv("ZEPS_ROOT_ONLY");
  fs::remove_all(dir);
}
