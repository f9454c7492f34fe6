#pragma once
// Starting programs without a shell, and watching and ending the ones we start.
// On Windows (platform/win32/Process.cpp) a child runs in a job object of its own, so Kill ends
// everything it started; RequestClose posts WM_CLOSE to its windows (a console program has
// none and keeps running until Kill); running as another user is refused (EPERM).
#include <optional>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/Waitable.h"

namespace platform {

// Starts argv[0], looked up in PATH, with the given arguments and this process's environment,
// and does not wait for it; the child is reaped in the background when it ends. It runs in a
// session of its own with descriptors 0, 1 and 2 only. False (with the reason logged at debug
// level) when it could not be started.
bool SpawnDetached(const std::vector<std::string>& argv);

// Another user to run a child as (the service started by root launches into the desktop
// session's user). Group list and environment are gathered before the fork.
struct RunAs {
  unsigned uid = 0;
  unsigned gid = 0;
  std::vector<unsigned> groups;
};

struct SpawnRequest {
  std::vector<std::string> argv;    // argv[0] is a path, never looked up in PATH
  std::string directory;            // working folder of the child; empty: ours
  std::vector<std::string> setEnv;  // "NAME=value" entries added to (or replacing in) our environment
  std::optional<RunAs> runAs;       // switch user in the child (needs root)
  bool ownEnvironment = true;       // false: setEnv is the child's whole environment
};

// A child we started, watched through a pidfd: the descriptor turns readable when the child
// ends, so it shares one wait with events and FIFOs. It leads a process group of its own. Signals go through
// the pidfd too, so a recycled process id can never be hit. The destructor reaps a child that already ended;
// a child still running is left alone (the owner closes it first).
class ChildProcess : public Waitable {
 public:
  // The child starts with an empty signal mask, default signal handling and only descriptors
  // 0, 1 and 2. Throws ErrCodeException with errno (or posix_spawn's error) when it cannot be
  // started, also when switching the user or running the program fails in the child.
  static ChildProcess Spawn(const SpawnRequest& request);

  ChildProcess(ChildProcess&&) noexcept = default;
  ChildProcess& operator=(ChildProcess&&) noexcept = default;
  ~ChildProcess() override;

  int Pid() const { return pid_; }
  int fd() const override { return pidfd_.Get(); }
  // True once the child has ended (nothing is consumed: it stays true).
  bool TryAcquire() override { return HasEnded(); }
  bool HasEnded() const;
  // Reaps the child if it ended and returns its exit code (128 + signal when killed by one);
  // nothing while it still runs.
  std::optional<int> ExitCode();
  // SIGTERM: the polite request to close. False when the child is gone already.
  bool RequestClose();
  // SIGKILL to the child and everything left in its process group.
  bool Kill();

 private:
  ChildProcess(int pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
  bool Signal(int signal);

  int pid_ = -1;
  UniqueFd pidfd_;  // on Windows the process handle
  std::optional<int> exitCode_;
#ifdef _WIN32
  UniqueFd job_;  // the job object holding the child and whatever it starts
#endif
};

// The folder of the running executable, without a trailing slash ("" when unknown).
std::string ExecutableDirectory();
// The executable path of another process (from /proc); "" when it cannot be read.
std::string ExecutablePathOf(int pid);
int CurrentProcessId();
bool RunningAsRoot();

// Blocks SIGTERM and SIGINT in the calling thread (call before starting threads, which
// inherit the mask), then WaitStopSignal takes one of them synchronously.
void BlockStopSignals();
// The signal number taken.
int WaitStopSignal();

}  // namespace platform
