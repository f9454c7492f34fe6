// zep-backend: the reference back-end over HTTPS on loopback.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tools/backend-sim/Backend.h"
#include "tools/backend-sim/HttpsServer.h"
#include "tools/backend-sim/SelfSignedCert.h"

namespace {

const char kUsage[] = R"(Usage: zep-backend [options]

The reference back-end: session manager, server manager, token verifier and
settings service over HTTPS, with scripted scenarios and a request log.

Options:
  --host ADDR        address to listen on (default 127.0.0.1)
  --port N           port to listen on; 0 picks a free one (default 0)
  --cert-out FILE    write the generated self-signed certificate (PEM) to FILE;
                     clients trust it as their CA file (HttpsCaFile)
  --key-out FILE     also write the generated private key (PEM) to FILE
  --cert FILE        use this certificate instead of generating one (needs --key)
  --key FILE         the private key of --cert
  --scenario FILE    load the scenario (JSON, see below) at start
  --demo             load the built-in demo scenario (the default without --scenario)
  --log FILE         append one JSON line per request: time_ms, method, path
                     (with the query as sent), headers (names and values as
                     sent, empty values included), body, status
  --help             show this text

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

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX decoding; in a query '+' also stands for a space. Malformed escapes stay as they are.
std::string Decode(const std::string& s, bool plusIsSpace) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
      i += 2;
    } else if (plusIsSpace && s[i] == '+') {
      out.push_back(' ');
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

SimRequest ToSimRequest(const RawRequest& raw) {
  SimRequest out;
  out.method = raw.method;
  out.target = raw.target;
  const std::size_t q = raw.target.find('?');
  out.path = Decode(raw.target.substr(0, q), false);
  if (q != std::string::npos) {
    const std::string query = raw.target.substr(q + 1);
    std::size_t start = 0;
    while (start <= query.size()) {
      std::size_t amp = query.find('&', start);
      if (amp == std::string::npos) amp = query.size();
      const std::string pair = query.substr(start, amp - start);
      if (!pair.empty()) {
        const std::size_t eq = pair.find('=');
        out.params[Decode(pair.substr(0, eq), true)] =
            eq == std::string::npos ? std::string() : Decode(pair.substr(eq + 1), true);
      }
      start = amp + 1;
    }
  }
  out.headers = raw.headers;
  out.body = raw.body;
  return out;
}

RawResponse JsonAnswer(int status, std::string body) {
  RawResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
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
      port = std::atoi(value().c_str());
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

  std::unique_ptr<HttpsServer> server;
  uint16_t bound = 0;
  try {
    server = std::make_unique<HttpsServer>(cert.cert.get(), cert.key.get());
    bound = server->Listen(host, static_cast<uint16_t>(port));
  } catch (const std::exception& e) {
    std::cerr << "zep-backend: cannot listen on " << host << ":" << port << ": " << e.what() << "\n";
    return 1;
  }

  auto serve = [&](const RawRequest& raw) -> RawResponse {
    const SimRequest request = ToSimRequest(raw);
    if (request.path.rfind("/__sim/", 0) == 0) {
      try {
        if (request.path == "/__sim/scenario" && request.method == "POST") {
          backend.LoadScenario(request.body);
        } else if (request.path == "/__sim/rules" && request.method == "POST") {
          backend.AddRules(request.body);
        } else if (request.path == "/__sim/state" && request.method == "GET") {
          return JsonAnswer(200, backend.StateJson());
        } else if (request.path == "/__sim/shutdown" && request.method == "POST") {
          server->Stop();
        } else {
          return JsonAnswer(404, "{\"error\": \"no such control call\"}");
        }
        return JsonAnswer(200, "{}");
      } catch (const std::exception& e) {
        return JsonAnswer(400, "{\"error\": " + JsonQuote(e.what()) + "}");
      }
    }
    SimResponse answer = backend.Handle(request);
    if (answer.delayMs > 0) server->Sleep(answer.delayMs);
    // Logged before the answer goes out, so a client that got it finds the line.
    backend.LogRequest(request, answer.status);
    RawResponse response = JsonAnswer(answer.status, std::move(answer.body));
    response.headers = std::move(answer.headers);
    return response;
  };

  std::thread signalThread([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    server->Stop();
  });

  std::cout << "zep-backend listening on https://" << host << ":" << bound << std::endl;
  server->Serve(serve);

  // Wake the signal thread if the server stopped on its own.
  pthread_kill(signalThread.native_handle(), SIGTERM);
  signalThread.join();
  return 0;
}
