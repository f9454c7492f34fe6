#include "mord/services/ServiceClients.h"

#include "sov/config/Config.h"

namespace {

ServiceAddress Address(const std::wstring& host, int32_t port, const Config& config) {
  ServiceAddress address;
  address.host = WideToUtf8(host);
  address.port = static_cast<uint16_t>(port);
  address.caFile = config.httpsCaFile;
  return address;
}

}  // namespace

ServiceClients ServiceClients::FromConfig(const Config& config) {
  ServiceClients clients;
  clients.tokenVerifier = std::make_unique<TokenVerifierClient>(
      Address(config.tokenVerifierHost, config.tokenVerifierPort, config));
  const TokenRenewer renewer = RenewThrough(*clients.tokenVerifier);
  clients.sessionManager = std::make_unique<SessionManagerClient>(
      Address(config.sessionManagerHost, config.sessionManagerPort, config), renewer);
  clients.serverManager = std::make_unique<ServerManagerClient>(
      Address(config.serverManagerHost, config.serverManagerPort, config), renewer);
  clients.settings =
      std::make_unique<WordPressClient>(Address(config.settingsHost, config.settingsPort, config), renewer);
  return clients;
}
