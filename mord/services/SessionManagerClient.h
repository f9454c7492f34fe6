#pragma once
#include <string>

#include "mord/services/ServiceClient.h"
#include "mord/services/ServiceRecords.h"

// The session manager, below "/session-manager". Identifiers go into paths as
// they are. Calls whose answer is ignored still read it and apply the status rules.
class SessionManagerClient : public RestClient {
 public:
  explicit SessionManagerClient(const ServiceAddress& address, TokenRenewer renewer = {});

  Endpoints GetEndpoints(const std::string& sessionId, std::string& token);
  Sessions GetSession(const std::string& sessionId, std::string& token);
  // Returns the new session's id.
  std::string CopySession(const std::string& sessionId, std::string& token);
  void StartHandshake(const std::string& sessionId, const std::string& serverId, std::string& token);
  void ActivateSession(const std::string& sessionId, std::string& token);
  void UpdateHeartbeat(const std::string& sessionId, std::string& token);
  // The comment is cut to its first 63 bytes.
  void AbortSession(const std::string& sessionId, const std::string& comment, std::string& token);
  void StopSession(const std::string& sessionId, std::string& token);
};
