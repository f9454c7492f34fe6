#pragma once
// Runs the reference back-end (zep-backend) as a child process on a free
// loopback port for one test, and reads its request log.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct LoggedRequest {
  std::string method;
  std::string path;  // with the query, as sent
  std::map<std::string, std::string> headers;
  std::string body;
  int status = 0;
  int64_t timeMs = 0;  // when the back-end took it (wall clock, ms since 1970)

  // The header's value; "<absent>" when it was not sent.
  std::string Header(const std::string& name) const;
};

class BackendSim {
 public:
  // Starts the back-end with `scenarioJson` and waits until it listens.
  explicit BackendSim(const std::string& scenarioJson);
  ~BackendSim();
  BackendSim(const BackendSim&) = delete;
  BackendSim& operator=(const BackendSim&) = delete;

  uint16_t Port() const { return port_; }
  // The generated certificate; clients trust it as their CA file.
  std::string CaFile() const { return (dir_ / "ca.pem").string(); }
  std::vector<LoggedRequest> Requests() const;
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// Runs zep-backend with `args` until it exits; its exit status, and its
// standard error in `errors`.
int RunBackend(const std::vector<std::string>& args, std::string& errors);

// A port on which nothing listens (bound once, then released).
uint16_t UnusedLoopbackPort();
