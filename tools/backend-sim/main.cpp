// zep-backend: the reference back-end over HTTPS on loopback.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "tools/backend-sim/Backend.h"
#include "tools/backend-sim/SelfSignedCert.h"

namespace {

const char kUsage[] = R"(Usage: zep-backend [options]

The reference back-end: session manager, server manager, token verifier and
settings service over HTTPS, with scripted scenarios and a request log.

Options:
  --host ADDR        address to listen on (default 127.0.0.1)
  --port N           port to listen on, 0..65535; 0 picks a free one (default 0)
  --cert-out FILE    write the generated self-signed certificate (PEM) to FILE;
                     clients trust it as their CA file (HttpsCaFile)
  --key-out FILE     also write the generated private key (PEM) to FILE
  --cert FILE        use this certificate instead of generating one (needs --key)
  --key FILE         the private key of --cert
  --scenario FILE    load the scenario (JSON, see below) at start
  --demo             load the built-in demo scenario (the default without --scenario)
  --log FILE         append one JSON line per request: time_ms, method, path
                     (with the query as sent), headers, body, status
  --help             show this text

Endpoints (as the clients call them; ID is a session id, TOKEN a token):
  GET  /session-manager/endpoints/ID
  GET  /session-manager/sessions/ID
  POST /session-manager/copy/ID
  PUT  /session-manager/sessions/ID/start_handshake/SERVER_ID
  PUT  /session-manager/sessions/ID/activate
  PUT  /session-manager/sessions/ID/register_client_heartbeat
  PUT  /session-manager/sessions/ID/abort      body {"abort_comment": "..."}
  PUT  /session-manager/sessions/ID/stop
  POST /server-manager/sessiontoken?sessionId=ID&token=T
  GET  /server-manager/sessiontoken?sessionId=ID&token=
  GET  /server-manager/product/get/PRODUCT_ID
  POST /token-verifier/renewProxyToken         body {"proxy_token": "..."}
  GET  /settings/setorupdateuserclientonline/TOKEN/VERSION/TIME
  GET  /settings/setorupdateuserstationchoice/TOKEN/TIME/COUNT
  GET  /settings/getusermetaplain?settings=youtube
  GET  /play?token=T&session=ID[&flag=1][&port=40109][&autoplay=1]
       the web front-end's play page: its Play button opens
       https://start.T.ID<flag>:<port>/ (the start command in the server name);
       autoplay=1 presses it when the page has loaded (for headless browsers)
The session manager, server manager and streaming settings need an accepted
X-Auth-Token (see "tokens"); anything else answers 404.

Once listening it prints one line to standard output:
  zep-backend listening on https://ADDR:PORT
It stops on SIGTERM, SIGINT or POST /__sim/shutdown.

Scenario (JSON object; every member optional):
  "tokens":     ["t1", ...]        accepted X-Auth-Token values for the session
                                   manager, server manager and streaming settings;
                                   empty or absent: any token
  "renewals":   {"old": "new"}     token verifier: POST /token-verifier/renewProxyToken
                                   with proxy_token "old" answers "new" (and "new"
                                   becomes accepted); any other token gets 401
  "sessions":   {"<id>": {"status": "NEW"|"HANDSHAKE"|"ACTIVE"|..., "product_id": "p",
                 "endpoints": [{"uuid", "server_id", "ip", "base_port", "priority",
                 "city"}...], "session_tokens": ["..."]}}
  "products":   {"<product id>": "title"}
  "stream_key": "key"              answered by /settings/getusermetaplain
  "rules":      [rule, ...]        scripted answers, tried in order before the
                                   built-in handlers
Rule: {"method": "GET"|"*", "path": "/exact/path?query" or "/prefix*",
       "status": 503, "body": "text" or "body_size": N (N bytes of 'x'),
       "times": N (answers left, absent: always), "delay_ms": N,
       "headers": {"Name": "value"},
       "pass": true (only delay, then answer as usual)}
A path without a query also matches requests that carry one.

Control endpoints (not written to the request log):
  POST /__sim/scenario   replace the scenario with the JSON body
  POST /__sim/rules      append a JSON array of rules
  GET  /__sim/state      sessions (status, abort comment, tokens), request count
  POST /__sim/shutdown   stop the server
Every answer carries "X-Request-ID: sim-<n>" unless a rule sets its own.
)";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// 0..65535 in decimal and nothing else.
bool ParsePort(const std::string& text, int& port) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, port);
  return !text.empty() && ec == std::errc() && ptr == end && port >= 0 && port <= 65535;
}

SimRequest ToSimRequest(const httplib::Request& req) {
  SimRequest out;
  out.method = req.method;
  out.target = req.target.empty() ? req.path : req.target;
  out.path = req.path;
  for (const auto& [k, v] : req.params) out.params[k] = v;
  for (const auto& [k, v] : req.headers) {
    // httplib adds the socket addresses as pseudo headers.
    if (k == "REMOTE_ADDR" || k == "REMOTE_PORT" || k == "LOCAL_ADDR" || k == "LOCAL_PORT") continue;
    out.headers.emplace_back(k, v);
  }
  out.body = req.body;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string certOut, keyOut, certIn, keyIn, scenarioFile, logFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "zep-backend: " << arg << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--host") {
      host = value();
    } else if (arg == "--port") {
      const std::string text = value();
      if (!ParsePort(text, port)) {
        std::cerr << "zep-backend: --port needs a number from 0 to 65535, not \"" << text << "\"\n";
        return 2;
      }
    } else if (arg == "--cert-out") {
      certOut = value();
    } else if (arg == "--key-out") {
      keyOut = value();
    } else if (arg == "--cert") {
      certIn = value();
    } else if (arg == "--key") {
      keyIn = value();
    } else if (arg == "--scenario") {
      scenarioFile = value();
    } else if (arg == "--demo") {
      scenarioFile.clear();
    } else if (arg == "--log") {
      logFile = value();
    } else {
      std::cerr << "zep-backend: unknown option " << arg << " (see --help)\n";
      return 2;
    }
  }

  // Signals are taken by one thread that stops the server cleanly.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Backend backend;
  SelfSignedCert cert;
  try {
    backend.LoadScenario(scenarioFile.empty() ? Backend::DemoScenario() : ReadFile(scenarioFile));
    if (!logFile.empty()) backend.OpenLog(logFile);
    if (!certIn.empty() || !keyIn.empty()) {
      cert = LoadCert(certIn, keyIn);
    } else {
      cert = MakeSelfSignedCert();
    }
    if (!certOut.empty()) WriteCertPem(cert.cert.get(), certOut);
    if (!keyOut.empty()) WriteKeyPem(cert.key.get(), keyOut);
  } catch (const std::exception& e) {
    std::cerr << "zep-backend: " << e.what() << "\n";
    return 1;
  }

  httplib::SSLServer server(cert.cert.get(), cert.key.get());
  if (!server.is_valid()) {
    std::cerr << "zep-backend: TLS set-up failed\n";
    return 1;
  }
  // Scripted delays end early when the server stops, so that stopping never
  // waits for a slow answer.
  std::mutex stopMutex;
  std::condition_variable stopCv;
  bool stopping = false;  // guarded by stopMutex
  std::atomic<bool> served{false};
  auto stop = [&] {
    {
      std::lock_guard<std::mutex> lock(stopMutex);
      stopping = true;
    }
    stopCv.notify_all();
    // The server ignores a stop that comes before its accept loop runs.
    while (!server.is_running() && !served) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server.stop();
  };

  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server.set_keep_alive_max_count(100);  // like a real front end; the library's default is 5
  server.set_tcp_nodelay(true);

  server.Post("/__sim/scenario", [&](const httplib::Request& req, httplib::Response& res) {
    try {
      backend.LoadScenario(req.body);
      res.set_content("{}", "application/json");
    } catch (const std::exception& e) {
      res.status = 400;
      res.set_content("{\"error\": " + JsonQuote(e.what()) + "}", "application/json");
    }
  });
  server.Post("/__sim/rules", [&](const httplib::Request& req, httplib::Response& res) {
    try {
      backend.AddRules(req.body);
      res.set_content("{}", "application/json");
    } catch (const std::exception& e) {
      res.status = 400;
      res.set_content("{\"error\": " + JsonQuote(e.what()) + "}", "application/json");
    }
  });
  server.Get("/__sim/state", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(backend.StateJson(), "application/json");
  });
  server.Post("/__sim/shutdown", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
    std::thread(stop).detach();
  });

  auto serve = [&](const httplib::Request& req, httplib::Response& res) {
    const SimRequest request = ToSimRequest(req);
    SimResponse answer = backend.Handle(request);
    if (answer.delayMs > 0) {
      std::unique_lock<std::mutex> lock(stopMutex);
      stopCv.wait_for(lock, std::chrono::milliseconds(answer.delayMs), [&] { return stopping; });
    }
    // Logged before the answer goes out, so a client that got it finds the line.
    backend.LogRequest(request, answer.status);
    res.status = answer.status;
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);
    res.set_content(answer.body, answer.contentType);
  };
  const char* pattern = "/.*";
  server.Get(pattern, serve);
  server.Post(pattern, serve);
  server.Put(pattern, serve);
  server.Delete(pattern, serve);
  server.Patch(pattern, serve);

  int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    std::cerr << "zep-backend: cannot listen on " << host << ":" << port << "\n";
    return 1;
  }

  std::thread signalThread([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    stop();
  });

  std::cout << "zep-backend listening on https://" << host << ":" << bound << std::endl;
  server.listen_after_bind();
  served = true;

  // Wake the signal thread if the server stopped on its own.
  if (signalThread.joinable()) {
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
  }
  return 0;
}
