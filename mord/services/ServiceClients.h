#pragma once
// The four back-end clients of a process, built once at start-up from the
// configuration, with every client but the token verifier renewing through it.
#include <memory>

#include "mord/services/ServerManagerClient.h"
#include "mord/services/SessionManagerClient.h"
#include "mord/services/TokenVerifierClient.h"
#include "mord/services/WordPressClient.h"

class Config;

struct ServiceClients {
  // Declared first so that it outlives the clients whose renewer refers to it.
  std::unique_ptr<TokenVerifierClient> tokenVerifier;
  std::unique_ptr<SessionManagerClient> sessionManager;
  std::unique_ptr<ServerManagerClient> serverManager;
  std::unique_ptr<WordPressClient> settings;

  // Hosts and ports from the *Host/*Port keys, the CA file from "HttpsCaFile".
  // A port outside 1..65535 throws HttpRequestException. `interrupt` (may be
  // null) ends the clients' requests and retry pauses.
  static ServiceClients FromConfig(const Config& config, platform::Event* interrupt = nullptr);
};
