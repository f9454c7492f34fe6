// HttpClient against the reference back-end over real HTTPS on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "mord/http/HttpClient.h"
#include "platform/Event.h"
#include "sov/base/Log.h"
#include "tests/unit/TestWine.h"
#include "tests/unit/http/BackendSim.h"

namespace fs = std::filesystem;

namespace {

std::string Rule(const std::string& method, const std::string& path, int status,
                 const std::string& extra = "") {
  return "{\"method\": \"" + method + "\", \"path\": \"" + path +
         "\", \"status\": " + std::to_string(status) + extra + "}";
}

std::string Scenario(const std::string& rules) {
  return "{\"rules\": [" + rules + "]}";
}

TEST(HttpClientTest, SendsTheFixedHeadersAndReturnsTheBody) {
  BackendSim sim(Scenario(Rule("GET", "/svc/hello", 200, ", \"body\": \"{\\\"a\\\": 1}\"")));
  HttpClient client("127.0.0.1", sim.Port(), sim.CaFile());
  client.SetBasePath("/svc");
  HttpResponse r = client.Request("GET", "/hello", nullptr, 0, {"X-Extra: one"});
  EXPECT_EQ(r.View(), "{\"a\": 1}");
  EXPECT_EQ(r.Data()[r.Size()], '\0');

  auto log = sim.Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].path, "/svc/hello");
  EXPECT_EQ(log[0].Header("Content-Type"), "application/json");  // on a GET too
  EXPECT_EQ(log[0].Header("Accept"), "application/json");
  EXPECT_EQ(log[0].Header("Pragma"), "no-cache");  // a proxy's cache is bypassed
  EXPECT_EQ(log[0].Header("Cache-Control"), "no-cache");
  EXPECT_EQ(log[0].Header("User-Agent"), "vekta/mord/" + ProgramVersion());
  EXPECT_EQ(log[0].Header("X-Extra"), "one");
  EXPECT_EQ(log[0].Header("X-Request-ID"), "<absent>");  // only the server sends one
  EXPECT_EQ(log[0].body, "");
}

// Below 400 is success (nothing is redirected), 401 and other 4xx and 5xx
// each have their class.
TEST(HttpClientTest, StatusClassification) {
  const int statuses[] = {204, 302, 401, 400, 404, 499, 500, 503};
  std::string rules;
  for (int st : statuses)
    rules += (rules.empty() ? "" : ",") + Rule("GET", "/s/" + std::to_string(st), st,
                                               st == 302 ? ", \"headers\": {\"Location\": \"/s/204\"}" : "");
  BackendSim sim(Scenario(rules));
  HttpClient client("127.0.0.1", sim.Port(), sim.CaFile());
  for (int st : statuses) {
    std::string kind;
    try {
      HttpResponse r = client.Request("GET", "/s/" + std::to_string(st), nullptr, 0);
      kind = r.Size() == 0 && r.Data()[0] == '\0' ? "empty" : "body";
    } catch (const HttpNotAuthorizedException&) {
      kind = "401";
    } catch (const HttpClient4xxException& e) {
      kind = e.Message();
    } catch (const HttpServer5xxException&) {
      kind = "5xx";
    }
    EXPECT_EQ(kind, st < 400    ? "empty"
                    : st == 401 ? "401"
                    : st < 500  ? "Http 4xx Client Error"
                                : "5xx")
        << st;
  }
  EXPECT_EQ(sim.Requests().size(), std::size(statuses));
}

// A body of 65535 bytes and its terminator fill the first block; one more byte moves it.
TEST(HttpClientTest, BodyAtTheEdgeOfTheFirstBlock) {
  BackendSim sim(Scenario(Rule("GET", "/b/65535", 200, ", \"body_size\": 65535") + "," +
                          Rule("GET", "/b/65536", 200, ", \"body_size\": 65536")));
  HttpClient client("127.0.0.1", sim.Port(), sim.CaFile());
  for (std::size_t size : {65535u, 65536u}) {
    HttpResponse r = client.Request("GET", "/b/" + std::to_string(size), nullptr, 0);
    EXPECT_EQ(r.Size(), size);
    EXPECT_EQ(r.Capacity(), size < 65536 ? HttpResponse::kInitialCapacity : HttpResponse::kMaxCapacity);
    EXPECT_EQ(r.Data()[size], '\0');
    EXPECT_EQ(r.View().find_first_not_of('x'), std::string_view::npos);
  }
}

TEST(HttpResponseTest, RefusesMoreThanTheLimitWithoutTouchingIt) {
  HttpResponse r;
  std::string chunk(100, 'a');
  ASSERT_EQ(r.Append(chunk.data(), chunk.size()), HttpResponse::AppendResult::kOk);
  // Lengths beyond the limit are refused before anything is read or allocated.
  EXPECT_EQ(r.Append(chunk.data(), HttpResponse::kMaxCapacity), HttpResponse::AppendResult::kTooBig);
  EXPECT_EQ(r.Append(chunk.data(), HttpResponse::kMaxCapacity - 100), HttpResponse::AppendResult::kTooBig);
  EXPECT_EQ(r.Size(), 100u);
  EXPECT_EQ(r.Capacity(), HttpResponse::kInitialCapacity);
  EXPECT_EQ(r.View(), chunk);
}

TEST(HttpClientTest, CertificateChecksStayOn) {
  BackendSim sim(Scenario(""));
  // Without the test CA the self-signed certificate is not trusted.
  HttpClient untrusting("127.0.0.1", sim.Port());
  try {
    untrusting.Request("GET", "/settings/getusermetaplain", nullptr, 0);
    ADD_FAILURE() << "an untrusted certificate was accepted";
  } catch (const HttpTransportException& e) {
    EXPECT_EQ(e.Code(), EPROTO) << e.what();
  }
  // Another back-end's certificate as the CA file trusts neither it nor any other certificate.
  BackendSim other(Scenario(""));
  HttpClient foreignCa("127.0.0.1", sim.Port(), other.CaFile());
  try {
    foreignCa.Request("GET", "/settings/getusermetaplain", nullptr, 0);
    ADD_FAILURE() << "a certificate outside the CA file was accepted";
  } catch (const HttpTransportException& e) {
    EXPECT_EQ(e.Code(), EPROTO) << e.what();
  }
  // The certificate names 127.0.0.1 and localhost only.
  HttpClient wrongName("127.0.0.2", sim.Port(), sim.CaFile());
  EXPECT_THROW(wrongName.Request("GET", "/settings/getusermetaplain", nullptr, 0), HttpTransportException);
  // The refused certificates are seen before the request goes out. Windows's WinHTTP gives up a
  // request closed at its "sending" notification; Wine's sends it all the same.
  if (!testsys::UnderWine()) {
    EXPECT_TRUE(sim.Requests().empty());
  }

  HttpClient trusting("localhost", sim.Port(), sim.CaFile());
  EXPECT_NO_THROW(trusting.Request("GET", "/settings/getusermetaplain", nullptr, 0));
  // A CA file that cannot be read fails at construction rather than trusting less.
  EXPECT_THROW(HttpClient("127.0.0.1", 443, "/nonexistent/ca.pem"), ErrCodeException);
}

TEST(HttpClientTest, SlowAnswerTimesOut) {
  BackendSim sim(
      Scenario(Rule("GET", "/slow", 200, ", \"delay_ms\": 3000") + "," + Rule("GET", "/quick", 200)));
  HttpTimeouts timeouts;
  timeouts.send = timeouts.receive = std::chrono::milliseconds(1000);
  HttpClient client("127.0.0.1", sim.Port(), sim.CaFile(), timeouts);
  // Without the idle limit the answer would arrive after 3 s and succeed.
  try {
    client.Request("GET", "/slow", nullptr, 0);
    ADD_FAILURE() << "no exception";
  } catch (const HttpTransportException& e) {
    EXPECT_EQ(e.Code(), ETIMEDOUT) << e.what();
  }
  EXPECT_NO_THROW(client.Request("GET", "/quick", nullptr, 0));
}

// Requests that fail without an answer: refused here before sending (nothing
// reaches the back-end), or by the network (nothing listens).
TEST(HttpClientTest, RefusalsBeforeAndWithoutAnAnswer) {
  struct Case {
    std::string host, path, header;
    bool local;
  };
  BackendSim sim(Scenario(Rule("*", "/*", 200)));
  for (const Case& c :
       {Case{"127.0.0.1", "/", "X-A: 1", false}, Case{"127.0.0.1", "/", "X-A: a\r\nX-B: 1", true},
        Case{"127.0.0.1", "/a/../b", "X-A: 1", true}, Case{"127.0.0.1", "/a b", "X-A: 1", true},
        Case{"local host", "/", "X-A: 1", true}}) {
    HttpClient client(c.host, c.local ? sim.Port() : UnusedLoopbackPort(), sim.CaFile());
    try {
      client.Request("GET", c.path, nullptr, 0, {c.header});
      ADD_FAILURE() << "no exception";
    } catch (const HttpRequestException& e) {
      EXPECT_TRUE(c.local) << e.what();
      EXPECT_EQ(e.Code(), ErrCode::InvalidArg);
    } catch (const HttpTransportException& e) {
      EXPECT_FALSE(c.local) << e.what();
      EXPECT_EQ(e.Code(), ECONNREFUSED);
    }
  }
  EXPECT_TRUE(sim.Requests().empty());
}

// An interrupt ends a request that the back-end would answer only after 30 s.
TEST(HttpClientTest, InterruptEndsARunningRequest) {
  BackendSim sim(Scenario(Rule("GET", "/slow", 200, ", \"delay_ms\": 30000")));
  platform::Event interrupt(true);
  HttpClient client("127.0.0.1", sim.Port(), sim.CaFile());
  client.SetInterrupt(&interrupt);
  std::chrono::steady_clock::time_point setAt;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    setAt = std::chrono::steady_clock::now();
    interrupt.Set();
  });
  EXPECT_THROW(client.Request("GET", "/slow", nullptr, 0), InterruptException);
  const auto ended = std::chrono::steady_clock::now();
  setter.join();
  EXPECT_LT(ended - setAt, std::chrono::milliseconds(500));
  // A set event refuses further requests at once.
  EXPECT_THROW(client.Request("GET", "/slow", nullptr, 0), InterruptException);
}

// Every request of eight threads on one client arrives once, with its own body on its own path.
TEST(HttpClientTest, ConcurrentRequestsOnOneClient) {
  BackendSim sim(Scenario(Rule("*", "/c/*", 200, ", \"delay_ms\": 20, \"body\": \"ok\"")));
  HttpClient client("127.0.0.1", sim.Port(), sim.CaFile());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string body = std::to_string(t) + "-" + std::to_string(i);
        EXPECT_EQ(client.Request("POST", "/c/" + body, body.data(), body.size()).View(), "ok");
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> seen;
  for (const auto& r : sim.Requests()) {
    EXPECT_EQ(r.path, "/c/" + r.body);
    seen.insert(r.body);
  }
  EXPECT_EQ(seen.size(), 80u);
}

TEST(HttpClientLogTest, LogsRequestStatusRequestIdAndShortBodies) {
  const fs::path file = fs::temp_directory_path() / ("zep-http-log-" + std::to_string(getpid()) + ".log");
  fs::remove(file);
  zlog::Init(0, file, 10 * 1024 * 1024);
  const std::string longId(64, 'L');
  BackendSim sim(Scenario(
      Rule("GET", "/l/1023", 200, ", \"body_size\": 1023, \"headers\": {\"X-Request-ID\": \"abc-1\"}") + "," +
      Rule("GET", "/l/1024", 200,
           ", \"body_size\": 1024, \"headers\": {\"X-Request-ID\": \"" + std::string(63, 'M') + "\"}") +
      "," + Rule("PUT", "/l/long-id", 404, ", \"headers\": {\"X-Request-ID\": \"" + longId + "\"}")));
  HttpClient client("127.0.0.1", sim.Port(), sim.CaFile());
  client.SetBasePath("/l");
  client.Request("GET", "/1023", nullptr, 0);
  client.Request("GET", "/1024", nullptr, 0);
  EXPECT_THROW(client.Request("PUT", "/long-id", nullptr, 0), HttpClient4xxException);
  zlog::Shutdown();
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  fs::remove(file);
  const std::string log = text.str();
  EXPECT_NE(log.find("HTTP client connecting to 127.0.0.1"), std::string::npos) << log;
  EXPECT_NE(log.find("] GET to /l/1023\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] Response code 200, req-id: abc-1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] " + std::string(1023, 'x') + "\n"), std::string::npos);
  EXPECT_EQ(log.find(std::string(1024, 'x')), std::string::npos);
  EXPECT_NE(log.find("] 1024\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] Response code 200, req-id: " + std::string(63, 'M') + "\n"), std::string::npos);
  // An id longer than 63 characters is not kept.
  EXPECT_NE(log.find("] Response code 404, req-id: \n"), std::string::npos) << log;
  EXPECT_EQ(log.find(longId), std::string::npos);
}

}  // namespace
