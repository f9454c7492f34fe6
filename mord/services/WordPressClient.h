#pragma once
#include <cstdint>
#include <string>

#include "mord/services/ServiceClient.h"
#include "mord/services/ServiceRecords.h"

// The settings service (no base path).
class WordPressClient : public RestClient {
 public:
  explicit WordPressClient(const ServiceAddress& address, TokenRenewer renewer = {});

  // The token travels in the path; "X-Auth-Token" goes out empty.
  void SetClientOnline(const std::string& token);
  void SetStationChoice(const std::string& token, uint32_t passedEndpoints);
  // The streaming settings of the player whose token is given.
  YoutubeSettings GetYoutubeSettings(std::string& token);

  // UTC milliseconds since 1970-01-01, as the settings calls send it.
  static int64_t NowMillis();
};
