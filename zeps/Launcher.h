#pragma once
// Starting `zep` for one attempt of the workflow, and closing it again.
#include <memory>
#include <string>
#include <vector>

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

class Launcher {
 public:
  // `directory` is where zep lives (beside zeps); `gpuPreference` adds DRI_PRIME=1;
  // `sameUser` starts zep as zeps's own user even as root (a root-only kiosk or container).
  Launcher(std::string directory, bool gpuPreference, bool sameUser = false)
      : directory_(std::move(directory)), gpu_(gpuPreference), sameUser_(sameUser) {}

  // Starts zep beside zeps, or, when zeps runs as root, as the user of the active graphical
  // session in that session's environment (BaseException "No active session" when there is
  // none). ErrCodeException when it cannot be started.
  platform::ChildProcess Launch(const LaunchRequest& request) const;

  static constexpr int kCloseGraceMs = 5000;
  // Closes a zep still running: SIGTERM, up to graceMs for it to end, then SIGKILL. A
  // protected process (and our own) is never touched. The grace period holds also while the
  // service stops, so zep can always end its session cleanly.
  static void Close(platform::ChildProcess& child, int graceMs = kCloseGraceMs);

 private:
  std::string directory_;
  bool gpu_;
  bool sameUser_;
};
