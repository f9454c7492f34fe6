#pragma once
// An X server of the test's own, its display number chosen by the server, ended with the test.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/SpawnProcess.h"

namespace e2e {

class XvfbDisplay {
 public:
  // `screen` as Xvfb takes it, e.g. "1366x768x24".
  explicit XvfbDisplay(const std::string& screen) {
    int fds[2];
    if (pipe(fds) != 0) return;
    // -noreset: a keyboard layout set with setxkbmap stays while no client is connected.
    pid_ = SpawnProcess({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten",
                         "tcp", "-noreset"},
                        {"PATH=/usr/bin:/bin"});
    close(fds[1]);
    // The server writes its display number and a newline once it accepts clients.
    std::string number;
    char c = 0;
    while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~XvfbDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  // Empty when the server did not start.
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace e2e
