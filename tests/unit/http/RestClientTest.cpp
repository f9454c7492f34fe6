// RestClient's retry, pause and renewal policy against the reference back-end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "mord/http/RestClient.h"
#include "sov/base/Log.h"
#include "tests/unit/http/BackendSim.h"

using namespace std::chrono_literals;

namespace {

std::string Scenario(const std::string& rules, const std::string& more = "") {
  return "{\"rules\": [" + rules + "]" + more + "}";
}

// Records the pauses instead of sleeping.
struct PauseRecorder {
  std::mutex mutex;
  std::vector<std::chrono::milliseconds> pauses;
  RestClient::Pause Hook() {
    return [this](std::chrono::milliseconds ms) {
      std::lock_guard<std::mutex> lock(mutex);
      pauses.push_back(ms);
    };
  }
};

TEST(RestClientTest, SendsTheTokenHeader) {
  BackendSim sim(Scenario(R"({"path": "/r/*", "status": 200})"));
  RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
  std::string token = "tok-1";
  client.Request("GET", "/r/a", {}, token, 6);
  std::string empty;
  client.Request("GET", "/r/b", {}, empty, 6);
  auto log = sim.Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].Header("X-Auth-Token"), "tok-1");
  // Sent with an empty value; the back-end's HTTP parser drops empty-valued
  // headers, so the log can only show that no value went out.
  const std::string empty_header = log[1].Header("X-Auth-Token");
  EXPECT_TRUE(empty_header == "" || empty_header == "<absent>") << empty_header;
}

TEST(RestClientTest, ServerErrorOnEveryAttemptMakesEightAttemptsAndSevenPauses) {
  BackendSim sim(Scenario(R"({"path": "/r/down", "status": 503})"));
  RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "t";
  EXPECT_THROW(client.Request("PUT", "/r/down", "{}", token, 6), HttpServer5xxException);
  EXPECT_EQ(sim.Requests().size(), 8u);
  ASSERT_EQ(recorder.pauses.size(), 7u);
  for (auto p : recorder.pauses) EXPECT_EQ(p, 2000ms);
  for (const auto& r : sim.Requests()) EXPECT_EQ(r.body, "{}");
}

TEST(RestClientTest, RetryCountsGiveRetriesPlusTwoAttempts) {
  for (int retries : {0, 2}) {
    BackendSim sim(Scenario(R"({"path": "/r/down", "status": 500})"));
    RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
    PauseRecorder recorder;
    client.SetPause(recorder.Hook());
    std::string token = "t";
    EXPECT_THROW(client.Request("GET", "/r/down", {}, token, retries), HttpServer5xxException);
    EXPECT_EQ(sim.Requests().size(), static_cast<size_t>(retries + 2)) << retries;
    EXPECT_EQ(recorder.pauses.size(), static_cast<size_t>(retries + 1)) << retries;
  }
}

TEST(RestClientTest, RecoversAfterTransientErrors) {
  BackendSim sim(Scenario(R"({"path": "/r/flaky", "status": 502, "times": 3},
                            {"path": "/r/flaky", "status": 200, "body": "fine"})"));
  RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "t";
  EXPECT_EQ(client.Request("GET", "/r/flaky", {}, token, 6).View(), "fine");
  EXPECT_EQ(sim.Requests().size(), 4u);
  EXPECT_EQ(recorder.pauses.size(), 3u);
}

TEST(RestClientTest, ClientErrorIsNeverRetried) {
  BackendSim sim(Scenario(R"({"path": "/r/missing", "status": 404}, {"path": "/r/bad", "status": 400})"));
  bool renewed = false;
  RestClient client(
      "127.0.0.1", sim.Port(), [&](std::string&) { renewed = true; }, sim.CaFile());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "t";
  EXPECT_THROW(client.Request("GET", "/r/missing", {}, token, 6), HttpClient4xxException);
  EXPECT_THROW(client.Request("POST", "/r/bad", "{}", token, 6), HttpClient4xxException);
  EXPECT_EQ(sim.Requests().size(), 2u);
  EXPECT_TRUE(recorder.pauses.empty());
  EXPECT_FALSE(renewed);
}

TEST(RestClientTest, TransportFailuresAreRetried) {
  RestClient client("127.0.0.1", UnusedLoopbackPort());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "t";
  try {
    client.Request("GET", "/x", {}, token, 3);
    ADD_FAILURE() << "no exception";
  } catch (const HttpTransportException& e) {
    EXPECT_EQ(e.Code(), ECONNREFUSED);
  }
  EXPECT_EQ(recorder.pauses.size(), 4u);
}

class RestClientLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = std::filesystem::temp_directory_path() / ("zep-rest-log-" + std::to_string(getpid()) + ".log");
    std::filesystem::remove(file_);
    zlog::Init(0, file_, 10 * 1024 * 1024);
  }
  void TearDown() override {
    zlog::Shutdown();
    std::filesystem::remove(file_);
  }
  std::filesystem::path file_;
};

TEST_F(RestClientLogTest, RetriesLogOnlyTheirRequestLines) {
  {
    RestClient client("127.0.0.1", UnusedLoopbackPort());
    PauseRecorder recorder;
    client.SetPause(recorder.Hook());
    std::string token = "t";
    EXPECT_THROW(client.Request("GET", "/x", {}, token, 1), HttpTransportException);
  }
  zlog::Flush();
  std::ifstream in(file_);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);  // connecting, then three attempts
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_TRUE(lines[i].ends_with("] GET to /x")) << lines[i];
}

TEST(RestClientTest, UnauthorizedRenewsOnceAndTheCallerKeepsTheNewToken) {
  BackendSim sim(Scenario(R"({"path": "/r/secure", "status": 401, "times": 1},
                            {"path": "/r/secure", "status": 200, "body": "in"})"));
  std::vector<std::string> renewedFrom;
  RestClient client(
      "127.0.0.1", sim.Port(),
      [&](std::string& token) {
        renewedFrom.push_back(token);
        token = "fresh";
      },
      sim.CaFile());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "stale";
  EXPECT_EQ(client.Request("GET", "/r/secure", {}, token, 6).View(), "in");
  EXPECT_EQ(token, "fresh");
  ASSERT_EQ(renewedFrom.size(), 1u);
  EXPECT_EQ(renewedFrom[0], "stale");
  EXPECT_TRUE(recorder.pauses.empty());  // no pause before the renewed attempt
  auto log = sim.Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].Header("X-Auth-Token"), "stale");
  EXPECT_EQ(log[1].Header("X-Auth-Token"), "fresh");
}

TEST(RestClientTest, SecondUnauthorizedPropagates) {
  BackendSim sim(Scenario(R"({"path": "/r/secure", "status": 401})"));
  int renewals = 0;
  RestClient client(
      "127.0.0.1", sim.Port(),
      [&](std::string& token) {
        ++renewals;
        token += "+";
      },
      sim.CaFile());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "t";
  EXPECT_THROW(client.Request("GET", "/r/secure", {}, token, 6), HttpNotAuthorizedException);
  EXPECT_EQ(renewals, 1);
  EXPECT_EQ(token, "t+");
  EXPECT_EQ(sim.Requests().size(), 2u);
  EXPECT_TRUE(recorder.pauses.empty());
}

TEST(RestClientTest, UnauthorizedWithoutRenewerPropagatesAtOnce) {
  BackendSim sim(Scenario(R"({"path": "/r/secure", "status": 401})"));
  RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "t";
  EXPECT_THROW(client.Request("GET", "/r/secure", {}, token, 6), HttpNotAuthorizedException);
  EXPECT_EQ(sim.Requests().size(), 1u);
  EXPECT_TRUE(recorder.pauses.empty());
}

TEST(RestClientTest, UnauthorizedAfterTransientErrorsStillRenews) {
  BackendSim sim(Scenario(R"({"path": "/r/x", "status": 503, "times": 2},
                            {"path": "/r/x", "status": 401, "times": 1},
                            {"path": "/r/x", "status": 200})"));
  RestClient client(
      "127.0.0.1", sim.Port(), [](std::string& token) { token = "new"; }, sim.CaFile());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "old";
  EXPECT_NO_THROW(client.Request("GET", "/r/x", {}, token, 6));
  EXPECT_EQ(token, "new");
  EXPECT_EQ(sim.Requests().size(), 4u);
  EXPECT_EQ(recorder.pauses.size(), 2u);
}

TEST(RestClientTest, TokenWithLineBreakIsRefusedBeforeSending) {
  RestClient client("127.0.0.1", UnusedLoopbackPort());
  PauseRecorder recorder;
  client.SetPause(recorder.Hook());
  std::string token = "a\r\nX-Other: b";
  EXPECT_THROW(client.Request("GET", "/x", {}, token, 6), ErrCodeException);
  EXPECT_TRUE(recorder.pauses.empty());
}

// The one test that lets the real 2 s pause run: two failed attempts, then success.
TEST(RestClientTest, RealPausesAreTwoSeconds) {
  BackendSim sim(Scenario(R"({"path": "/r/flaky", "status": 503, "times": 2},
                            {"path": "/r/flaky", "status": 200})"));
  RestClient client("127.0.0.1", sim.Port(), {}, sim.CaFile());
  std::string token = "t";
  const auto start = std::chrono::steady_clock::now();
  client.Request("GET", "/r/flaky", {}, token, 6);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 4000ms);
  EXPECT_LT(elapsed, 30000ms);
  auto log = sim.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_GE(log[1].timeMs - log[0].timeMs, 1990);
  EXPECT_GE(log[2].timeMs - log[1].timeMs, 1990);
}

}  // namespace
