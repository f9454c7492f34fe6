#include "mord/services/TokenVerifierClient.h"

#include "mord/services/ServiceRecords.h"
#include "sov/base/Log.h"

TokenVerifierClient::TokenVerifierClient(const ServiceAddress& address)
    : RestClient(address.host, address.port, {}, address.caFile, address.timeouts) {
  SetBasePath("/token-verifier");
  SetInterrupt(address.interrupt);
}

void TokenVerifierClient::RenewToken(std::string& token) {
  const RenewTokenParams params(token);
  const TokenObject answer(
      Request("POST", "/renewProxyToken", Json::toText(&params), token, kServiceRetries).Text());
  token = answer.ProxyToken();
  LOGD_(this) << "proxy token renewed";
}

TokenRenewer RenewThrough(TokenVerifierClient& verifier) {
  return [&verifier](std::string& token) { verifier.RenewToken(token); };
}
