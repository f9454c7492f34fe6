#pragma once
#include <string>

#include "mord/services/ServiceClient.h"
#include "mord/services/ServiceRecords.h"

// The server manager, below "/server-manager".
class ServerManagerClient : public RestClient {
 public:
  explicit ServerManagerClient(const ServiceAddress& address, TokenRenewer renewer = {});

  SessionToken RegisterSessionToken(const std::string& sessionId, const std::string& newToken,
                                    std::string& token);
  SessionTokens GetSessionTokens(const std::string& sessionId, std::string& token);
  Product GetProduct(const std::string& productId, std::string& token);
};
