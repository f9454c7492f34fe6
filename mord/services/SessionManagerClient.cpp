#include "mord/services/SessionManagerClient.h"

SessionManagerClient::SessionManagerClient(const ServiceAddress& address, TokenRenewer renewer)
    : RestClient(address.host, address.port, std::move(renewer), address.caFile, address.timeouts) {
  SetBasePath("/session-manager");
}

Endpoints SessionManagerClient::GetEndpoints(const std::string& sessionId, std::string& token) {
  return Endpoints(Request("GET", "/endpoints/" + sessionId, {}, token, kServiceRetries).Text());
}

Sessions SessionManagerClient::GetSession(const std::string& sessionId, std::string& token) {
  return Sessions(Request("GET", "/sessions/" + sessionId, {}, token, kServiceRetries).Text());
}

std::string SessionManagerClient::CopySession(const std::string& sessionId, std::string& token) {
  return CopyResponse(Request("POST", "/copy/" + sessionId, {}, token, kServiceRetries).Text()).Uuid();
}

void SessionManagerClient::StartHandshake(const std::string& sessionId, const std::string& serverId,
                                          std::string& token) {
  Request("PUT", "/sessions/" + sessionId + "/start_handshake/" + serverId, {}, token, kHandshakeRetries);
}

void SessionManagerClient::ActivateSession(const std::string& sessionId, std::string& token) {
  Request("PUT", "/sessions/" + sessionId + "/activate", {}, token, kServiceRetries);
}

void SessionManagerClient::UpdateHeartbeat(const std::string& sessionId, std::string& token) {
  Request("PUT", "/sessions/" + sessionId + "/register_client_heartbeat", {}, token, kServiceRetries);
}

void SessionManagerClient::AbortSession(const std::string& sessionId, const std::string& comment,
                                        std::string& token) {
  const AbortSessionParams params(comment);
  Request("PUT", "/sessions/" + sessionId + "/abort", Json::toText(&params), token, kServiceRetries);
}

void SessionManagerClient::StopSession(const std::string& sessionId, std::string& token) {
  Request("PUT", "/sessions/" + sessionId + "/stop", {}, token, kServiceRetries);
}
