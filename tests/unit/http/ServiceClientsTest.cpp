// The typed back-end clients: every path, method, header and body as the
// reference back-end logs them, and the shape failures of their answers.
#include <gtest/gtest.h>

#include <chrono>

#include "mord/services/ServerManagerClient.h"
#include "mord/services/SessionManagerClient.h"
#include "mord/services/TokenVerifierClient.h"
#include "mord/services/WordPressClient.h"
#include "tests/unit/http/BackendSim.h"

namespace {

const std::string kSession = "5e55a0f1-0000-4000-8000-000000000001";
const std::string kActive = "5e55a0f1-0000-4000-8000-0000000000ac";

std::string BaseScenario(const std::string& rules = "") {
  return R"({
  "tokens": ["tok"],
  "renewals": {"stale": "tok"},
  "products": {"prod-1": "Space Game"},
  "stream_key": "live-key",
  "sessions": {
    ")" + kSession +
         R"(": {"status": "NEW", "product_id": "prod-1", "endpoints": [
      {"uuid": "u1", "server_id": "srv-1", "ip": "10.0.0.1", "base_port": 40000, "priority": 2.9, "city": "Riga"},
      {"uuid": "u2", "server_id": "srv-2", "ip": "10.0.0.2", "priority": -3}
    ]},
    ")" + kActive +
         R"(": {"status": "ACTIVE", "product_id": "prod-1", "session_tokens": ["st-1", "st-2"]}
  },
  "rules": [)" +
         rules + R"(]
})";
}

class ServiceClientsTest : public ::testing::Test {
 protected:
  void Start(const std::string& rules = "") {
    sim_ = std::make_unique<BackendSim>(BaseScenario(rules));
    ServiceAddress address{"127.0.0.1", sim_->Port(), sim_->CaFile(), {}};
    verifier_ = std::make_unique<TokenVerifierClient>(address);
    sessions_ = std::make_unique<SessionManagerClient>(address, RenewThrough(*verifier_));
    servers_ = std::make_unique<ServerManagerClient>(address, RenewThrough(*verifier_));
    settings_ = std::make_unique<WordPressClient>(address, RenewThrough(*verifier_));
    for (RestClient* c : std::initializer_list<RestClient*>{verifier_.get(), sessions_.get(), servers_.get(),
                                                            settings_.get()})
      c->SetPause([this](std::chrono::milliseconds) { ++pauses_; });
  }
  LoggedRequest Last() {
    auto log = sim_->Requests();
    EXPECT_FALSE(log.empty());
    return log.empty() ? LoggedRequest{} : log.back();
  }

  std::unique_ptr<BackendSim> sim_;
  std::unique_ptr<TokenVerifierClient> verifier_;
  std::unique_ptr<SessionManagerClient> sessions_;
  std::unique_ptr<ServerManagerClient> servers_;
  std::unique_ptr<WordPressClient> settings_;
  int pauses_ = 0;
  std::string token_ = "tok";
};

TEST_F(ServiceClientsTest, SessionManagerCalls) {
  Start();
  Endpoints endpoints = sessions_->GetEndpoints(kSession, token_);
  EXPECT_EQ(endpoints.Status(), "NEW");
  ASSERT_EQ(endpoints.List().size(), 2u);
  const EndpointEntry& first = endpoints.List()[0];
  EXPECT_EQ(first.basePort, 40000);
  EXPECT_EQ(first.uuid, "u1");
  EXPECT_EQ(first.serverId, "srv-1");
  EXPECT_EQ(first.ip, "10.0.0.1");
  EXPECT_EQ(first.city, "Riga");
  EXPECT_EQ(first.priority, 2);  // truncated
  const EndpointEntry& second = endpoints.List()[1];
  EXPECT_EQ(second.basePort, 7985);
  EXPECT_EQ(second.city, "Unknown city");
  EXPECT_EQ(second.priority, -3);

  EXPECT_EQ(sessions_->GetSession(kSession, token_).FirstProductId(), "prod-1");
  sessions_->StartHandshake(kSession, "srv-1", token_);
  sessions_->ActivateSession(kSession, token_);
  sessions_->UpdateHeartbeat(kSession, token_);
  sessions_->AbortSession(kSession, "handshake 400 error", token_);
  sessions_->StopSession(kSession, token_);
  const std::string copy = sessions_->CopySession(kSession, token_);
  EXPECT_EQ(copy.size(), 36u);

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"GET", "/session-manager/endpoints/" + kSession},
      {"GET", "/session-manager/sessions/" + kSession},
      {"PUT", "/session-manager/sessions/" + kSession + "/start_handshake/srv-1"},
      {"PUT", "/session-manager/sessions/" + kSession + "/activate"},
      {"PUT", "/session-manager/sessions/" + kSession + "/register_client_heartbeat"},
      {"PUT", "/session-manager/sessions/" + kSession + "/abort"},
      {"PUT", "/session-manager/sessions/" + kSession + "/stop"},
      {"POST", "/session-manager/copy/" + kSession},
  };
  auto log = sim_->Requests();
  ASSERT_EQ(log.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(log[i].method, expected[i].first) << i;
    EXPECT_EQ(log[i].path, expected[i].second) << i;
    EXPECT_EQ(log[i].status, 200) << i;
    EXPECT_EQ(log[i].Header("X-Auth-Token"), "tok") << i;
    EXPECT_EQ(log[i].Header("Content-Type"), "application/json") << i;
    EXPECT_EQ(log[i].body, i == 5 ? "{\"abort_comment\" : \"handshake 400 error\"}" : "") << i;
  }
  EXPECT_EQ(pauses_, 0);
}

// An error text with line breaks, cut to 63 bytes, reaches the back-end as
// written: escaped by the writer, decoded by the back-end, logged and read back.
TEST_F(ServiceClientsTest, AbortCommentArrivesIntact) {
  Start();
  const std::string comment = "connect failed:\r\n\tstation \"a\\b\" busy\n" + std::string(60, 'c');
  sessions_->AbortSession(kSession, comment, token_);
  const std::string body = Last().body;
  EXPECT_EQ(JsonObject(body).GetString("abort_comment"), comment.substr(0, 63)) << body;
}

// Values from outside that would change the path are refused before anything is sent.
TEST_F(ServiceClientsTest, MalformedPathValuesSendNothing) {
  Start();
  for (const std::string& id :
       std::vector<std::string>{"../" + kSession.substr(3), kSession.substr(0, 35) + "?", kSession + "/x",
                                kSession.substr(0, 35), "5e55a0f1-0000-4000-8000-00000000000g", ""}) {
    EXPECT_THROW(sessions_->GetEndpoints(id, token_), HttpRequestException) << id;
    EXPECT_THROW(sessions_->AbortSession(id, "x", token_), HttpRequestException) << id;
    EXPECT_THROW(servers_->RegisterSessionToken(id, "guid", token_), HttpRequestException) << id;
  }
  for (const std::string value : {"..", "a/b", "a?b", "a b", "a&token=b", ""}) {
    EXPECT_THROW(sessions_->StartHandshake(kSession, value, token_), HttpRequestException) << value;
    EXPECT_THROW(servers_->RegisterSessionToken(kSession, value, token_), HttpRequestException) << value;
    EXPECT_THROW(servers_->GetProduct(value, token_), HttpRequestException) << value;
    EXPECT_THROW(settings_->SetClientOnline(value), HttpRequestException) << value;
  }
  EXPECT_TRUE(sim_->Requests().empty());
  EXPECT_EQ(pauses_, 0);
}

TEST_F(ServiceClientsTest, HandshakeStartRetriesTwiceOthersSixTimes) {
  Start(R"({"path": "/session-manager/sessions/*", "status": 503})");
  EXPECT_THROW(sessions_->StartHandshake(kSession, "srv-1", token_), HttpServer5xxException);
  EXPECT_EQ(sim_->Requests().size(), 4u);
  EXPECT_EQ(pauses_, 3);
  EXPECT_THROW(sessions_->UpdateHeartbeat(kSession, token_), HttpServer5xxException);
  EXPECT_EQ(sim_->Requests().size(), 4u + 8u);
}

TEST_F(ServiceClientsTest, HandshakeRejectedWithClientError) {
  Start(R"({"method": "PUT", "path": "/session-manager/sessions/*", "status": 409})");
  EXPECT_THROW(sessions_->StartHandshake(kSession, "srv-1", token_), HttpClient4xxException);
  EXPECT_EQ(sim_->Requests().size(), 1u);
  EXPECT_EQ(pauses_, 0);
}

TEST_F(ServiceClientsTest, ServerManagerCalls) {
  Start();
  SessionToken registered = servers_->RegisterSessionToken(kSession, "guid-1", token_);
  EXPECT_EQ(registered.SessionId(), kSession);
  EXPECT_EQ(registered.Token(), "guid-1");
  SessionTokens list = servers_->GetSessionTokens(kActive, token_);
  ASSERT_EQ(list.List().size(), 2u);
  EXPECT_EQ(list.List()[1].Token(), "st-2");
  EXPECT_EQ(servers_->GetProduct("prod-1", token_).Title(), "Space Game");

  auto log = sim_->Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].method + " " + log[0].path + " " + log[0].Header("Content-Length"),
            "POST /server-manager/sessiontoken?sessionId=" + kSession + "&token=guid-1 0");
  EXPECT_EQ(log[1].method + " " + log[1].path,
            "GET /server-manager/sessiontoken?sessionId=" + kActive + "&token=");
  EXPECT_EQ(log[2].method + " " + log[2].path, "GET /server-manager/product/get/prod-1");
  for (const auto& r : log) EXPECT_EQ(r.Header("X-Auth-Token"), "tok");
}

TEST_F(ServiceClientsTest, FailedRenewalReachesTheCaller) {
  Start();
  token_ = "unknown";
  EXPECT_THROW(servers_->GetProduct("prod-1", token_), HttpNotAuthorizedException);
  EXPECT_EQ(token_, "unknown");
  auto log = sim_->Requests();
  ASSERT_EQ(log.size(), 2u);  // the call, then the refused renewal; no retry of either
  EXPECT_EQ(log[1].path, "/token-verifier/renewProxyToken");
  EXPECT_EQ(log[1].status, 401);
}

TEST_F(ServiceClientsTest, SettingsCalls) {
  Start();
  const int64_t before = WordPressClient::NowMillis();
  settings_->SetClientOnline("tok");
  settings_->SetStationChoice("tok", 3);
  settings_->SetStationChoice("tok", 0);
  EXPECT_EQ(settings_->GetYoutubeSettings(token_).StreamKey().value_or("<none>"), "live-key");
  const int64_t after = WordPressClient::NowMillis();

  auto log = sim_->Requests();
  ASSERT_EQ(log.size(), 4u);
  const std::string online = "/settings/setorupdateuserclientonline/tok/" + ProgramVersion() + "/";
  const std::string choice = "/settings/setorupdateuserstationchoice/tok/";
  ASSERT_EQ(log[0].path.rfind(online, 0), 0u) << log[0].path;
  ASSERT_EQ(log[1].path.rfind(choice, 0), 0u) << log[1].path;
  for (int64_t sent :
       {std::stoll(log[0].path.substr(online.size())), std::stoll(log[1].path.substr(choice.size()))}) {
    EXPECT_GE(sent, before);
    EXPECT_LE(sent, after);
  }
  EXPECT_TRUE(log[1].path.ends_with("/3")) << log[1].path;
  EXPECT_TRUE(log[2].path.ends_with("/0")) << log[2].path;
  for (int i = 0; i < 3; ++i) {
    // The token travels in the path; the header carries no value.
    const std::string header = log[i].Header("X-Auth-Token");
    EXPECT_TRUE(header == "" || header == "<absent>") << header;
  }
  EXPECT_EQ(log[3].path, "/settings/getusermetaplain?settings=youtube");
  EXPECT_EQ(log[3].Header("X-Auth-Token"), "tok");
}

TEST_F(ServiceClientsTest, ShapeFailures) {
  Start(
      R"({"path": "/session-manager/endpoints/5e55a0f1-0000-4000-8000-0000000000b1", "body": "{\"status\": \"NEW\", \"endpoints\": [{\"uuid\": \"u\", \"server_id\": \"s\", \"ip\": \"1.2.3.4\", \"priority\": \"1\"}]}"},
           {"path": "/session-manager/endpoints/5e55a0f1-0000-4000-8000-0000000000b2", "body": "{\"status\": \"NEW\", \"endpoints\": [{\"server_id\": \"s\", \"ip\": \"1.2.3.4\", \"priority\": 1}]}"},
           {"path": "/session-manager/endpoints/5e55a0f1-0000-4000-8000-0000000000b3", "body": "<html>"},
           {"path": "/session-manager/sessions/5e55a0f1-0000-4000-8000-0000000000b4", "body": "{\"sessions\": []}"},
           {"path": "/session-manager/sessions/5e55a0f1-0000-4000-8000-0000000000b5", "body": "{\"session\": []}"},
           {"path": "/session-manager/copy/5e55a0f1-0000-4000-8000-0000000000b2", "body": "{\"id\": \"x\"}"},
           {"path": "/server-manager/sessiontoken?sessionId=5e55a0f1-0000-4000-8000-0000000000b6&token=", "body": "{\"sessionId\": \"obj\", \"token\": \"t\"}"},
           {"path": "/server-manager/product/get/untitled", "body": "{\"name\": \"x\"}"},
           {"path": "/token-verifier/renewProxyToken", "body": "{\"token\": \"x\"}"})");
  // "no such key" is a plain BaseException; a malformed document is E_INVALIDARG.
  auto failure = [](auto&& call) -> std::string {
    try {
      call();
    } catch (const ErrCodeException& e) {
      return e.Code() == ErrCode::InvalidArg ? "invalid" : e.what();
    } catch (const BaseException& e) {
      return e.Message();
    }
    return "no exception";
  };
  auto expectNoSuchKey = [&](auto&& call) { EXPECT_EQ(failure(call), "no such key in json object"); };
  auto expectInvalid = [&](auto&& call) { EXPECT_EQ(failure(call), "invalid"); };
  expectNoSuchKey([&] { sessions_->GetEndpoints("5e55a0f1-0000-4000-8000-0000000000b1", token_); });
  expectNoSuchKey([&] { sessions_->GetEndpoints("5e55a0f1-0000-4000-8000-0000000000b2", token_); });
  expectInvalid([&] { sessions_->GetEndpoints("5e55a0f1-0000-4000-8000-0000000000b3", token_); });
  expectInvalid(
      [&] { sessions_->GetSession("5e55a0f1-0000-4000-8000-0000000000b4", token_).FirstProductId(); });
  expectInvalid([&] { sessions_->GetSession("5e55a0f1-0000-4000-8000-0000000000b5", token_); });
  expectInvalid([&] { sessions_->CopySession("5e55a0f1-0000-4000-8000-0000000000b2", token_); });
  expectInvalid([&] { servers_->GetSessionTokens("5e55a0f1-0000-4000-8000-0000000000b6", token_); });
  expectNoSuchKey([&] { servers_->GetProduct("untitled", token_); });
  std::string t = "x";
  expectInvalid([&] { verifier_->RenewToken(t); });
  EXPECT_EQ(t, "x");
  // Shape failures are not retried.
  EXPECT_EQ(sim_->Requests().size(), 9u);
  EXPECT_EQ(pauses_, 0);
}

}  // namespace
