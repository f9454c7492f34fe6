#include "mord/services/SessionManagerClient.h"

SessionManagerClient::SessionManagerClient(const ServiceAddress& address, TokenRenewer renewer)
    : RestClient(address.host, address.port, std::move(renewer), address.caFile, address.timeouts) {
  SetBasePath("/session-manager");
  SetInterrupt(address.interrupt);
}

Endpoints SessionManagerClient::GetEndpoints(const std::string& sessionId, std::string& token) {
  return Endpoints(
      Request("GET", "/endpoints/" + CheckedSessionId(sessionId), {}, token, kServiceRetries).Text());
}

Sessions SessionManagerClient::GetSession(const std::string& sessionId, std::string& token) {
  return Sessions(
      Request("GET", "/sessions/" + CheckedSessionId(sessionId), {}, token, kServiceRetries).Text());
}

std::string SessionManagerClient::CopySession(const std::string& sessionId, std::string& token) {
  return CopyResponse(
             Request("POST", "/copy/" + CheckedSessionId(sessionId), {}, token, kServiceRetries).Text())
      .Uuid();
}

void SessionManagerClient::StartHandshake(const std::string& sessionId, const std::string& serverId,
                                          std::string& token) {
  Request("PUT",
          "/sessions/" + CheckedSessionId(sessionId) + "/start_handshake/" + CheckedPathValue(serverId), {},
          token, kHandshakeRetries);
}

void SessionManagerClient::ActivateSession(const std::string& sessionId, std::string& token) {
  Request("PUT", "/sessions/" + CheckedSessionId(sessionId) + "/activate", {}, token, kServiceRetries);
}

void SessionManagerClient::UpdateHeartbeat(const std::string& sessionId, std::string& token) {
  Request("PUT", "/sessions/" + CheckedSessionId(sessionId) + "/register_client_heartbeat", {}, token,
          kServiceRetries);
}

void SessionManagerClient::AbortSession(const std::string& sessionId, const std::string& comment,
                                        std::string& token) {
  const AbortSessionParams params(comment);
  Request("PUT", "/sessions/" + CheckedSessionId(sessionId) + "/abort", Json::toText(&params), token,
          kServiceRetries);
}

void SessionManagerClient::StopSession(const std::string& sessionId, std::string& token) {
  Request("PUT", "/sessions/" + CheckedSessionId(sessionId) + "/stop", {}, token, kServiceRetries);
}
