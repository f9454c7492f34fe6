#include "platform/Process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

extern char** environ;

namespace platform {

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  // posix_spawnp runs the program directly: no shell ever sees the arguments.
  const int r = ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
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

}  // namespace platform
