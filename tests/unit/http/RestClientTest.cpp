// RestClient's retry, pause and renewal policy against the reference back-end.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "mord/http/RestClient.h"
#include "platform/Event.h"
#include "tests/unit/http/BackendSim.h"

using namespace std::chrono_literals;

namespace {

std::string Scenario(const std::string& rules) {
  return "{\"rules\": [" + rules + "]}";
}

// Records each pause and how many requests the back-end had seen by then,
// instead of sleeping.
struct Pauses {
  std::vector<std::chrono::milliseconds> lengths;
  std::vector<std::size_t> afterRequests;
  void Attach(RestClient& client, const BackendSim* sim) {
    client.SetPause([this, sim](std::chrono::milliseconds ms) {
      lengths.push_back(ms);
      afterRequests.push_back(sim ? sim->Requests().size() : 0);
    });
  }
};

class RestClientRetries : public testing::TestWithParam<int> {};

// A server error on every attempt: retries + 2 attempts, a 2 s pause after
// each but the last, and the pauses fall between the attempts.
TEST_P(RestClientRetries, ServerErrorOnEveryAttempt) {
  const int retries = GetParam();
  BackendSim sim(Scenario(R"({"path": "/r/down", "status": 503})"));
  RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
  Pauses pauses;
  pauses.Attach(client, &sim);
  std::string token = "t";
  EXPECT_THROW(client.Request("PUT", "/r/down", "{}", token, retries), HttpServer5xxException);
  const auto log = sim.Requests();
  ASSERT_EQ(log.size(), static_cast<size_t>(retries + 2));
  for (const auto& r : log) EXPECT_EQ(r.body, "{}");
  ASSERT_EQ(pauses.lengths.size(), static_cast<size_t>(retries + 1));
  for (std::size_t i = 0; i < pauses.lengths.size(); ++i) {
    EXPECT_EQ(pauses.lengths[i], 2000ms);
    EXPECT_EQ(pauses.afterRequests[i], i + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Rest, RestClientRetries, testing::Values(0, 2, 6),
                         [](const auto& info) { return "retries_" + std::to_string(info.param); });

// A refused connection is retried like a server that is down; a request
// refused before sending fails at once.
TEST(RestClientTest, TransportFailuresAreRetriedLocalRefusalsAreNot) {
  struct Case {
    std::string host, path, token;
    std::size_t pauses;
  };
  for (const Case& c : {Case{"127.0.0.1", "/x", "t", 4}, Case{"local host", "/x", "t", 0},
                        Case{"127.0.0.1", "/x y", "t", 0}, Case{"127.0.0.1", "/x", "a\r\nX-Other: b", 0}}) {
    RestClient client(c.host, UnusedLoopbackPort());
    Pauses pauses;
    pauses.Attach(client, nullptr);
    std::string token = c.token;
    try {
      client.Request("GET", c.path, {}, token, 3);
      ADD_FAILURE() << "no exception";
    } catch (const HttpRequestException& e) {
      EXPECT_EQ(c.pauses, 0u) << e.what();
    } catch (const HttpTransportException& e) {
      EXPECT_EQ(e.Code(), ECONNREFUSED) << c.host;
    }
    EXPECT_EQ(pauses.lengths.size(), c.pauses) << c.host << c.path;
  }
}

// With the default pause: an interrupt during the 2 s wait after a failed
// attempt ends the call at once, and nothing more is sent.
TEST(RestClientTest, InterruptEndsTheRetryPause) {
  BackendSim sim(Scenario(R"({"path": "/r/down", "status": 503})"));
  platform::Event interrupt(true);
  RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
  client.SetInterrupt(&interrupt);
  std::chrono::steady_clock::time_point setAt;
  std::thread setter([&] {
    while (sim.Requests().empty()) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    setAt = std::chrono::steady_clock::now();
    interrupt.Set();
  });
  std::string token = "t";
  EXPECT_THROW(client.Request("GET", "/r/down", {}, token, 6), InterruptException);
  const auto ended = std::chrono::steady_clock::now();
  setter.join();
  EXPECT_LT(ended - setAt, 500ms);
  EXPECT_EQ(sim.Requests().size(), 1u);
}

struct Renewal {
  const char* name;
  std::string rules;
  bool withRenewer;
  bool succeeds;
  std::size_t requests;
  std::size_t pauses;
  std::string tokenAfter;
};

void PrintTo(const Renewal& c, std::ostream* os) {
  *os << c.name;
}

class RestClientRenewal : public testing::TestWithParam<Renewal> {};

// A 401 renews the token once, without a pause, and the caller keeps the new
// token; a second 401, or one without a renewer, reaches the caller.
TEST_P(RestClientRenewal, OneRenewalPerCall) {
  const Renewal& c = GetParam();
  BackendSim sim(Scenario(c.rules));
  std::vector<std::string> renewedFrom;
  TokenRenewer renewer = [&](std::string& token) {
    renewedFrom.push_back(token);
    token = "fresh";
  };
  RestClient client("127.0.0.1", sim.Port(), c.withRenewer ? renewer : TokenRenewer{}, sim.CaFile());
  Pauses pauses;
  pauses.Attach(client, &sim);
  std::string token = "stale";
  if (c.succeeds)
    EXPECT_EQ(client.Request("GET", "/r/x", {}, token, 6).View(), "in");
  else
    EXPECT_THROW(client.Request("GET", "/r/x", {}, token, 6), HttpNotAuthorizedException);
  EXPECT_EQ(token, c.tokenAfter);
  EXPECT_EQ(pauses.lengths.size(), c.pauses);
  EXPECT_EQ(renewedFrom, c.withRenewer ? std::vector<std::string>{"stale"} : std::vector<std::string>{});
  const auto log = sim.Requests();
  ASSERT_EQ(log.size(), c.requests);
  EXPECT_EQ(log.front().Header("X-Auth-Token"), "stale");
  EXPECT_EQ(log.back().Header("X-Auth-Token"), c.tokenAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Rest, RestClientRenewal,
    testing::Values(Renewal{"renewed", R"({"path": "/r/x", "status": 401, "times": 1},
                                         {"path": "/r/x", "body": "in"})",
                            true, true, 2, 0, "fresh"},
                    Renewal{"second_401", R"({"path": "/r/x", "status": 401})", true, false, 2, 0, "fresh"},
                    Renewal{"no_renewer", R"({"path": "/r/x", "status": 401})", false, false, 1, 0, "stale"},
                    Renewal{"after_503s", R"({"path": "/r/x", "status": 503, "times": 2},
                                            {"path": "/r/x", "status": 401, "times": 1},
                                            {"path": "/r/x", "body": "in"})",
                            true, true, 4, 2, "fresh"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
