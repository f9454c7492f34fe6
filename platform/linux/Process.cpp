#include "platform/Process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

extern char** environ;

namespace platform {

namespace {

#ifndef P_PIDFD
constexpr idtype_t P_PIDFD = static_cast<idtype_t>(3);
#endif

int PidfdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Our environment with the given entries added or replaced.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& setEnv) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& entry : setEnv) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
    env.push_back(entry);
  }
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// fork + exec for the switch of user, which posix_spawn cannot do. Only async-signal-safe
// calls run in the child; everything it needs was prepared before the fork. A failure in the
// child comes back as its errno over a close-on-exec pipe (the pipe closes unread once the
// program runs), so it is never mistaken for the program's own exit. -1 with `error` set.
pid_t ForkAs(const RunAs& as, const char* directory, char* const* argv, char* const* envp, int& error) {
  std::vector<gid_t> groups(as.groups.begin(), as.groups.end());
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = errno;
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto fail = [&report]() {
      const int e = errno;
      (void)!::write(report[1], &e, sizeof e);
      ::_exit(127);
    };
    ::setpgid(0, 0);
    // The service blocks SIGTERM and SIGINT in every thread; a blocked or ignored signal would
    // survive the exec, and zep could never be closed gracefully.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int s = 1; s < NSIG; ++s)
      if (s != SIGKILL && s != SIGSTOP) ::sigaction(s, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Nothing of ours reaches the program: not the log, not the back-end's connections. Closed
    // at the exec, so the report pipe works until then.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) fail();
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(as.gid) != 0 || ::setuid(as.uid) != 0)
      fail();
    if (directory != nullptr && ::chdir(directory) != 0) fail();
    ::execve(argv[0], argv, envp);
    fail();
  }
  if (pid < 0) error = errno;
  ::close(report[1]);
  int childError = 0;
  ssize_t n = 0;
  while (pid > 0 && (n = ::read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (pid > 0 && n == static_cast<ssize_t>(sizeof childError)) {
    ::waitpid(pid, nullptr, 0);
    error = childError;
    return -1;
  }
  return pid;
}

// The spawn set-up every program we start gets: nothing of ours inherited, whether or not it was
// opened close-on-exec (libcurl makes inheritable socket pairs of its own), and default signal
// handling with an empty mask, whatever this thread blocks. `flags` adds the process grouping.
struct CleanSpawn {
  explicit CleanSpawn(short flags) {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    ::posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    ::posix_spawnattr_setflags(&attr,
                               static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | flags));
  }
  ~CleanSpawn() {
    ::posix_spawnattr_destroy(&attr);
    ::posix_spawn_file_actions_destroy(&actions);
  }
  CleanSpawn(const CleanSpawn&) = delete;
  CleanSpawn& operator=(const CleanSpawn&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
};

}  // namespace

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<char*> args = Pointers(argv);
  pid_t pid = -1;
  // The opened program (a browser, say) lives on its own: a session of its own, so closing the
  // process group of a stuck zep never takes it along.
  int r = 0;
  {
    CleanSpawn spawn(POSIX_SPAWN_SETSID);
    // posix_spawnp runs the program directly: no shell ever sees the arguments.
    r = ::posix_spawnp(&pid, args[0], &spawn.actions, &spawn.attr, args.data(), environ);
  }
  if (r != 0) {
    LOGD << "cannot start " << argv[0] << ": " << SystemErrorText(r);
    return false;
  }
  // Reaped on a thread of its own so that no zombie is left and nobody waits for the opener.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

ChildProcess ChildProcess::Spawn(const SpawnRequest& request) {
  if (request.argv.empty()) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  const std::vector<std::string> env =
      request.ownEnvironment ? MergedEnvironment(request.setEnv) : request.setEnv;
  std::vector<char*> args = Pointers(request.argv);
  std::vector<char*> envp = Pointers(env);
  const char* directory = request.directory.empty() ? nullptr : request.directory.c_str();
  pid_t pid = -1;
  if (request.runAs) {
    int error = 0;
    pid = ForkAs(*request.runAs, directory, args.data(), envp.data(), error);
    if (pid < 0) throw ErrCodeException(error, ZEP_SOURCE, __LINE__);
  } else {
    // The program leads a process group of its own, so that a kill reaches what it started.
    CleanSpawn spawn(POSIX_SPAWN_SETPGROUP);
    if (directory != nullptr) ::posix_spawn_file_actions_addchdir_np(&spawn.actions, directory);
    ::posix_spawnattr_setpgroup(&spawn.attr, 0);
    const int r = ::posix_spawn(&pid, args[0], &spawn.actions, &spawn.attr, args.data(), envp.data());
    if (r != 0) throw ErrCodeException(r, ZEP_SOURCE, __LINE__);
  }
  // The child is our unreaped child until we wait for it, so its id cannot be reused here.
  UniqueFd pidfd(PidfdOpen(pid));
  if (!pidfd.Valid()) {
    const int err = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    throw ErrCodeException(err, ZEP_SOURCE, __LINE__);
  }
  return ChildProcess(pid, std::move(pidfd));
}

ChildProcess::~ChildProcess() {
  if (pidfd_.Valid() && !exitCode_) ExitCode();
}

bool ChildProcess::HasEnded() const {
  if (exitCode_) return true;
  if (!pidfd_.Valid()) return true;
  pollfd p{pidfd_.Get(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

std::optional<int> ChildProcess::ExitCode() {
  if (exitCode_ || !pidfd_.Valid()) return exitCode_;
  siginfo_t info{};
  if (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.Get()), &info, WEXITED | WNOHANG) != 0) return std::nullopt;
  if (info.si_pid == 0) return std::nullopt;  // still running
  exitCode_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  return exitCode_;
}

bool ChildProcess::Signal(int signal) {
  if (exitCode_ || !pidfd_.Valid()) return false;
  return ::syscall(SYS_pidfd_send_signal, pidfd_.Get(), signal, nullptr, 0) == 0;
}

bool ChildProcess::RequestClose() {
  return Signal(SIGTERM);
}

bool ChildProcess::Kill() {
  // The whole group: what the child started must not outlive it (and hold its output open).
  // Until we reap the child its id stays ours, and so does the group's.
  if (!exitCode_ && pidfd_.Valid()) ::kill(-pid_, SIGKILL);
  return Signal(SIGKILL);
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePathOf(::getpid());
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ExecutablePathOf(int pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

int CurrentProcessId() {
  return ::getpid();
}

bool RunningAsRoot() {
  return ::geteuid() == 0;
}

void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitStopSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int signal = 0;
  while (::sigwait(&set, &signal) != 0) {
  }
  return signal;
}

}  // namespace platform
