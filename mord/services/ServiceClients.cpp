#include "mord/services/ServiceClients.h"

#include "sov/base/Log.h"
#include "sov/config/Config.h"

namespace {

ServiceAddress Address(const std::wstring& host, int32_t port, const char* portKey, const Config& config,
                       platform::Event* interrupt) {
  // A port beyond 16 bits would otherwise wrap to some other port (70000 to 4464).
  if (port < 1 || port > 65535) {
    LOGE << portKey << " " << port << " is outside 1..65535";
    throw HttpRequestException("back-end port outside 1..65535", ZEP_SOURCE, __LINE__);
  }
  ServiceAddress address;
  address.host = WideToUtf8(host);
  address.port = static_cast<uint16_t>(port);
  address.caFile = config.httpsCaFile;
  address.interrupt = interrupt;
  return address;
}

}  // namespace

ServiceClients ServiceClients::FromConfig(const Config& config, platform::Event* interrupt) {
  // Every address is checked before any client is made.
  const ServiceAddress verifier =
      Address(config.tokenVerifierHost, config.tokenVerifierPort, "TokenVerifierPort", config, interrupt);
  const ServiceAddress sessions =
      Address(config.sessionManagerHost, config.sessionManagerPort, "SessionManagerPort", config, interrupt);
  const ServiceAddress servers =
      Address(config.serverManagerHost, config.serverManagerPort, "ServerManagerPort", config, interrupt);
  const ServiceAddress settings =
      Address(config.settingsHost, config.settingsPort, "SettingsPort", config, interrupt);
  ServiceClients clients;
  clients.tokenVerifier = std::make_unique<TokenVerifierClient>(verifier);
  const TokenRenewer renewer = RenewThrough(*clients.tokenVerifier);
  clients.sessionManager = std::make_unique<SessionManagerClient>(sessions, renewer);
  clients.serverManager = std::make_unique<ServerManagerClient>(servers, renewer);
  clients.settings = std::make_unique<WordPressClient>(settings, renewer);
  return clients;
}
