#include "mord/services/ServerManagerClient.h"

ServerManagerClient::ServerManagerClient(const ServiceAddress& address, TokenRenewer renewer)
    : RestClient(address.host, address.port, std::move(renewer), address.caFile, address.timeouts) {
  SetBasePath("/server-manager");
  SetInterrupt(address.interrupt);
}

SessionToken ServerManagerClient::RegisterSessionToken(const std::string& sessionId,
                                                       const std::string& newToken, std::string& token) {
  const std::string path =
      "/sessiontoken?sessionId=" + CheckedSessionId(sessionId) + "&token=" + CheckedPathValue(newToken);
  return SessionToken(Request("POST", path, {}, token, kServiceRetries).Text());
}

SessionTokens ServerManagerClient::GetSessionTokens(const std::string& sessionId, std::string& token) {
  const std::string path = "/sessiontoken?sessionId=" + CheckedSessionId(sessionId) + "&token=";
  return SessionTokens(Request("GET", path, {}, token, kServiceRetries).Text());
}

Product ServerManagerClient::GetProduct(const std::string& productId, std::string& token) {
  return Product(
      Request("GET", "/product/get/" + CheckedPathValue(productId), {}, token, kServiceRetries).Text());
}
