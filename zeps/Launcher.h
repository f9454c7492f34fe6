#pragma once
// Starting `zep` for one attempt of the workflow, and closing it again.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ActiveSession.h"
#include "platform/Event.h"
#include "platform/Process.h"

struct LaunchRequest {
  std::string address;
  int32_t basePort = 0;
  std::string proxyToken;
  std::string sessionId;
  std::string sessionToken;  // becomes zep's client GUID
  bool canTryNext = false;
  std::string city;
};

// zep's arguments after the program, in the order zep expects them. Every value is one
// argument of its own, so no value (a city with blanks, a token from the browser) can add
// options of its own.
std::vector<std::string> ZepArguments(const LaunchRequest& request);

// The same as one line for the log: the quoted program, the address right after it, the
// options with their values unquoted.
std::string ZepCommandLine(const std::string& program, const LaunchRequest& request);

// Names never closed by the close procedure, matched case-insensitively against the end of a
// process's executable path.
bool IsProtectedProcess(const std::string& executablePath);

// Who zep runs as, in which environment, and where it looks for "ConfirmSessionEvent".
struct LaunchTarget {
  std::optional<platform::RunAs> runAs;  // set when a root service starts zep as the desktop's user
  std::vector<std::string> env;          // with runAs: zep's whole environment (the session's own)
  std::string runtimeFolder;             // zep's XDG_RUNTIME_DIR
};

// The active graphical session, or nothing (logind's view; tests give their own).
using SessionSource = std::function<std::optional<platform::DesktopSession>()>;

class Launcher {
 public:
  // `directory` is where zep lives (beside zeps); `gpuPreference` adds DRI_PRIME=1;
  // `sameUser` starts zep as zeps's own user even as root (a root-only kiosk or container);
  // `runtimeFolder` is the service's own, which zep shares when it runs as the same user.
  Launcher(std::string directory, bool gpuPreference, bool sameUser, std::string runtimeFolder,
           SessionSource sessions = platform::FindActiveDesktopSession)
      : directory_(std::move(directory)),
        gpu_(gpuPreference),
        sameUser_(sameUser),
        runtimeFolder_(std::move(runtimeFolder)),
        sessions_(std::move(sessions)) {}

  // zeps's own user and environment; or, when zeps runs as root, the user of the active
  // graphical session with that session's environment (BaseException "No active session"
  // when there is none).
  LaunchTarget Target() const;

  // Starts zep beside zeps for the target. ErrCodeException when it cannot be started, also
  // when switching to the user or running zep fails in the child.
  platform::ChildProcess Launch(const LaunchRequest& request, const LaunchTarget& target) const;

  static constexpr int kCloseGraceMs = 5000;
  // Closes a zep still running: SIGTERM, up to graceMs for it to end, then SIGKILL. A
  // protected process (and our own) is never touched. The grace period holds also while the
  // service stops, so zep can always end its session cleanly.
  static void Close(platform::ChildProcess& child, int graceMs = kCloseGraceMs);

 private:
  std::string directory_;
  bool gpu_;
  bool sameUser_;
  std::string runtimeFolder_;
  SessionSource sessions_;
};
