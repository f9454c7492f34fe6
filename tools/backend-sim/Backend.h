#pragma once
// State and request handling of the reference back-end. Independent of the
// HTTP server so that the routing rules read in one place.
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct SimRequest {
  std::string method;
  std::string target;                         // path and query as sent
  std::string path;                           // without the query
  std::map<std::string, std::string> params;  // decoded query parameters
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

struct SimResponse {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  int delayMs = 0;  // applied by the server before answering
  std::string contentType = "application/json";
};

// A scripted answer for matching requests, used before the built-in handlers.
struct Rule {
  std::string method;  // empty or "*": any
  std::string path;    // matches the target or the path; a trailing '*' matches a prefix
  int status = 200;
  std::optional<std::string> body;
  std::size_t bodySize = 0;  // without body: that many 'x' bytes
  int times = -1;            // answers left; -1: unlimited
  int delayMs = 0;
  bool passThrough = false;  // only delay, then answer as usual
  std::vector<std::pair<std::string, std::string>> headers;
};

struct SimSession {
  std::string status = "NEW";
  std::string productId;
  std::string endpointsJson = "[]";  // the endpoint objects as given
  std::vector<std::string> sessionTokens;
  std::string abortComment;
};

class Backend {
 public:
  // Throws std::runtime_error with a reason when the scenario is not valid.
  void LoadScenario(const std::string& json);
  void AddRules(const std::string& json);
  static std::string DemoScenario();

  SimResponse Handle(const SimRequest& request);
  // Sessions, tokens and rule counters as JSON, for a person or a test.
  std::string StateJson();

  // Appends one JSON line: time, method, target, headers, body and status.
  void OpenLog(const std::string& path);
  void LogRequest(const SimRequest& request, int status);

 private:
  SimResponse HandleLocked(const SimRequest& request);
  bool Authorized(const SimRequest& request) const;
  SimResponse SessionManager(const SimRequest& request, const std::string& rest);
  SimResponse ServerManager(const SimRequest& request, const std::string& rest);
  SimResponse TokenVerifier(const SimRequest& request, const std::string& rest);
  SimResponse Settings(const SimRequest& request, const std::string& rest);
  SimResponse PlayPage(const SimRequest& request) const;

  std::mutex mutex_;                 // guards everything below
  std::vector<std::string> tokens_;  // accepted X-Auth-Token values; empty: any
  std::map<std::string, std::string> renewals_;
  std::map<std::string, SimSession> sessions_;
  std::map<std::string, std::string> products_;
  std::string streamKey_;
  std::vector<Rule> rules_;
  int copies_ = 0;
  std::uint64_t requestCount_ = 0;

  std::mutex logMutex_;
  std::ofstream log_;  // guarded by logMutex_
};

// `s` as a JSON string, written by the clients' own writer.
std::string JsonQuote(const std::string& s);
