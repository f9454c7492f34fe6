#include "zeps/ClientWorkflow.h"

#include <cerrno>

#include "mord/services/ServerManagerClient.h"
#include "mord/services/SessionManagerClient.h"
#include "mord/services/WordPressClient.h"
#include "platform/Guid.h"
#include "platform/Wait.h"
#include "sov/base/FinalAction.h"
#include "sov/base/Log.h"

namespace {

constexpr int kConnectWaitMs = 7000;
constexpr int kHandshakeWaitMs = 10000;
constexpr std::size_t kSessionIdLength = 36;

// The attempt goes on with the next endpoint (the reason was logged and the session aborted).
struct NextEndpoint {};

// What the back-end's comment says: the reason alone, without the source place and class that
// the log keeps (the comment is cut to 63 bytes, so they would push the reason out).
std::string AbortReason(const std::exception& e) {
  std::string reason;
  if (const auto* b = dynamic_cast<const BaseException*>(&e)) {
    reason = b->Message();
    const auto* coded = dynamic_cast<const ErrCodeException*>(&e);
    if (reason.empty() && coded != nullptr) reason = SystemErrorText(coded->Code());
  }
  if (reason.empty()) reason = e.what();
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
    reason.pop_back();
  return reason;
}

}  // namespace

struct ClientWorkflow::Run {
  std::string token;
  std::string sessionId;
  uint8_t startFlag = 0;
  bool handshakeStarted = false;
  bool active = false;
  std::vector<RankedEndpoint> ranked;
  std::unique_ptr<platform::FifoSignal> confirm;
};

std::vector<RankedEndpoint> ClientWorkflow::GetSortedEndpoints(const std::vector<EndpointEntry>& endpoints,
                                                               std::string& token) {
  std::vector<RankedEndpoint> probed;
  if (!endpoints.empty()) probed = ProbeEndpoints(endpoints, c_.stop, c_.ranking);
  if (probed.empty()) {
    c_.settings.SetStationChoice(token, 0);
    throw BaseException("No endpoints", ZEP_SOURCE, __LINE__);
  }
  std::vector<RankedEndpoint> ranked = KeepBest(std::move(probed));
  c_.settings.SetStationChoice(token, static_cast<uint32_t>(ranked.size()));
  if (ranked.empty()) {
    LOGE << "No endpoint has passed the test";
    throw BaseException("No endpoint has passed the test", ZEP_SOURCE, __LINE__);
  }
  return ranked;
}

void ClientWorkflow::Abort(Run& run, const std::string& comment) {
  c_.sessions.AbortSession(run.sessionId, comment, run.token);
}

void ClientWorkflow::Do(const WorkflowRequest& request) {
  Run run;
  run.token = request.proxyToken;
  run.sessionId = request.sessionId;
  run.startFlag = request.startFlag;
  try {
    const Endpoints endpoints = c_.sessions.GetEndpoints(run.sessionId, run.token);
    const std::string& status = endpoints.Status();
    if (status == "HANDSHAKE" || status == "ACTIVE") run.handshakeStarted = true;
    if (status == "ACTIVE") run.active = true;
    if (status != "NEW" && !run.handshakeStarted)
      throw BaseException("session has unexpected status", ZEP_SOURCE, __LINE__);
    run.ranked = GetSortedEndpoints(endpoints.List(), run.token);
    run.ranked[0].connection->SetBlocking(true);
    run.ranked[0].connection->SetReceiveTimeout(kHandshakeWaitMs);
    for (std::size_t i = 0; i < run.ranked.size(); ++i) {
      try {
        Attempt(run, i);
      } catch (const NextEndpoint&) {
      }
      run.ranked[i].connection.reset();
    }
  } catch (const InterruptException&) {
    // zep has been closed by now. A service that is stopping ends the session too: its clients
    // still call out for a bounded while (ClientServiceThreads).
    c_.sessions.StopSession(run.sessionId, run.token);
    if (c_.stop.IsSet()) throw;
  } catch (const std::exception& e) {
    LOGE << "aborting session: " << e.what();
    Abort(run, AbortReason(e));
  } catch (...) {
    Abort(run, "Unknown error");
  }
}

void ClientWorkflow::Attempt(Run& run, std::size_t i) {
  RankedEndpoint& e = run.ranked[i];
  if (i >= 1 && !run.active) {
    run.sessionId = c_.sessions.CopySession(run.sessionId, run.token);
    run.handshakeStarted = false;
  }
  if (!run.handshakeStarted) {
    try {
      c_.sessions.StartHandshake(run.sessionId, e.endpoint.serverId, run.token);
    } catch (const HttpClient4xxException&) {
      LOGE << "endpoint handshake 400";
      Abort(run, "handshake 400 error");
      throw NextEndpoint{};
    }
  }
  if (!run.active && !e.connection) {
    bool connected = false;
    try {
      e.connection = std::make_unique<TransportConnector>(e.endpoint.ip.c_str(),
                                                          static_cast<uint32_t>(e.endpoint.basePort),
                                                          TransportConnector::NonBlocking{}, &c_.stop);
      const platform::PollFd fds[] = {{e.connection->Socket(0), platform::kWaitWritable}};
      platform::Waitable* objects[] = {&c_.stop};
      const int r = platform::WaitAnyFd(fds, objects, kConnectWaitMs);
      if (r == 1) throw InterruptException(ZEP_SOURCE, __LINE__);
      connected = r == 0;
    } catch (const TransportException& ex) {
      LOGE << "Endpoint " << e.endpoint.ip << ": " << ex.what();
    }
    if (!connected) {
      LOGE << "Endpoint did not answer";
      Abort(run, "handshake connect failed");
      throw NextEndpoint{};
    }
    e.connection->SetBlocking(true);
    e.connection->SetReceiveTimeout(kHandshakeWaitMs);
  }

  std::string sessionToken;
  if (run.active) {
    LOGI << "Session is already ACTIVE, reconnecting to the server";
    const SessionTokens tokens = c_.servers.GetSessionTokens(run.sessionId, run.token);
    if (tokens.List().empty())
      throw BaseException("No existing session token found, cannot reconnect", ZEP_SOURCE, __LINE__);
    sessionToken = tokens.List()[i % tokens.List().size()].Token();
  } else {
    sessionToken = platform::Guid::NewRandom().ToString();
    c_.servers.RegisterSessionToken(run.sessionId, sessionToken, run.token);
    uint8_t answer = 0;
    try {
      if (run.sessionId.size() != kSessionIdLength) throw TransportException(EINVAL, ZEP_SOURCE, __LINE__);
      std::string hello = "s" + run.sessionId;
      hello.push_back(static_cast<char>(run.startFlag));
      e.connection->SendBuffer(hello.data(), hello.size());
      const platform::PollFd fds[] = {{e.connection->Socket(0), platform::kWaitReadable}};
      platform::Waitable* objects[] = {&c_.stop};
      const int r = platform::WaitAnyFd(fds, objects, kHandshakeWaitMs);
      if (r == 1) throw InterruptException(ZEP_SOURCE, __LINE__);
      if (r != 0) throw TransportException(ETIMEDOUT, ZEP_SOURCE, __LINE__);
      answer = e.connection->ReceiveByte(0);
    } catch (const TransportException& ex) {
      LOGE << "Error during handshake: " << ex.what();
      Abort(run, AbortReason(ex));
      throw NextEndpoint{};
    }
    if (answer == 0) {
      LOGE << "Merchant mord returned 0 - handshake rejection";
      Abort(run, "mord returned 0");
      throw NextEndpoint{};
    }
  }

  LaunchRequest launch{e.endpoint.ip, e.endpoint.basePort,        run.token,      run.sessionId,
                       sessionToken,  i + 1 != run.ranked.size(), e.endpoint.city};
  // "ConfirmSessionEvent" goes where zep looks for it, owned by the user zep runs as; made once
  // a run and again only when the next zep runs elsewhere.
  const LaunchTarget target = c_.launcher.Target();
  const std::string confirmPath = target.runtimeFolder + "/ConfirmSessionEvent";
  if (!run.confirm || run.confirm->Path() != confirmPath) {
    run.confirm.reset();
    run.confirm =
        std::make_unique<platform::FifoSignal>(confirmPath, target.runAs ? &*target.runAs : nullptr);
  }
  platform::ChildProcess child = c_.launcher.Launch(launch, target);
  // However the attempt ends: presence cleared, zep closed if it still runs.
  auto cleanup = Finally([&] {
    c_.presence.clear.Set();
    Launcher::Close(child);
  });
  const Sessions session = c_.sessions.GetSession(run.sessionId, run.token);
  c_.presence.Publish(c_.servers.GetProduct(session.FirstProductId(), run.token).Title());

  const int exitCode = WaitSessionDone(run, child);
  if (exitCode != 1) {
    LOGI << "zep process was closed (exit code " << exitCode << ")";
    throw InterruptException(ZEP_SOURCE, __LINE__);
  }
  LOGI << "Zep signaled that we need to try next endpoint";
  if (!run.active) Abort(run, "client unsatisfied");
}

int ClientWorkflow::WaitSessionDone(Run& run, platform::ChildProcess& child) {
  for (;;) {
    const int r = platform::WaitAny({&child, run.confirm.get(), &c_.stop}, c_.heartbeatMs);
    if (r == 0) {
      // The pidfd turns readable as the child becomes a zombie; reaping follows at once.
      for (int tries = 0; tries < 100; ++tries) {
        if (auto code = child.ExitCode()) return *code;
        platform::WaitAny({&c_.stop}, 10);
      }
      throw ErrCodeException(ErrCode::Fail, ZEP_SOURCE, __LINE__);
    }
    if (r == 2) throw InterruptException(ZEP_SOURCE, __LINE__);
    if (r == 1) {
      LOGI << "zep signaled to activate session";
      try {
        c_.sessions.ActivateSession(run.sessionId, run.token);
      } catch (const HttpClient4xxException& e) {
        LOGE << "4XX http error during ActivateSession " << e.what();
      }
      continue;
    }
    try {
      c_.sessions.UpdateHeartbeat(run.sessionId, run.token);
    } catch (const HttpClient4xxException& e) {
      LOGE << "4XX http error during UpdateHeartbeat " << e.what();
    }
  }
}
