#include "tests/unit/http/BackendSim.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "mord/json/Json.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Starts zep-backend with `args`, its descriptor `target` (standard output or
// error) on a pipe; returns the pid and the pipe's read end in `fd`.
pid_t SpawnBackend(const std::vector<std::string>& args, int target, int& fd) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], target);
  std::vector<std::string> all = {std::string(ZEP_BINARY_DIR) + "/bin/zep-backend"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    throw std::runtime_error("cannot start " + all[0]);
  }
  fd = pipeFds[0];
  return pid;
}

}  // namespace

BackendSim::BackendSim(const std::string& scenarioJson) {
  static int counter = 0;
  dir_ = fs::temp_directory_path() /
         ("zep-backend-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  { std::ofstream(dir_ / "scenario.json") << scenarioJson; }

  int out = -1;
  pid_ = SpawnBackend({"--port", "0", "--cert-out", CaFile(), "--log", (dir_ / "requests.log").string(),
                       "--scenario", (dir_ / "scenario.json").string()},
                      STDOUT_FILENO, out);

  // Wait for "zep-backend listening on https://127.0.0.1:PORT".
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (text.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd pfd{out, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[256];
    const ssize_t n = read(out, buf, sizeof(buf));
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(out);
  const auto colon = text.rfind(':');
  if (text.find("listening on https://") == std::string::npos || colon == std::string::npos) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    throw std::runtime_error("zep-backend did not start: " + text);
  }
  port_ = static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1));
}

BackendSim::~BackendSim() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    // A clean stop is expected within a few seconds; a hung one is killed.
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      usleep(50000);
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

int RunBackend(const std::vector<std::string>& args, std::string& errors) {
  int err = -1;
  const pid_t pid = SpawnBackend(args, STDERR_FILENO, err);
  char buf[256];
  for (ssize_t n; (n = read(err, buf, sizeof(buf))) > 0;) errors.append(buf, static_cast<size_t>(n));
  close(err);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) throw std::runtime_error("cannot wait for zep-backend");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint16_t UnusedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}
