#pragma once
#include <string>

#include "mord/services/ServiceClient.h"

// The token verifier, below "/token-verifier". It has no renewer of its own:
// a 401 here goes to whoever asked for the renewal.
class TokenVerifierClient : public RestClient {
 public:
  explicit TokenVerifierClient(const ServiceAddress& address);

  // Replaces `token` with the fresh proxy token.
  void RenewToken(std::string& token);
};

// The renewer the other clients get: renewal through `verifier`, which must
// outlive them.
TokenRenewer RenewThrough(TokenVerifierClient& verifier);
