#include "mord/services/WordPressClient.h"

#include <chrono>

WordPressClient::WordPressClient(const ServiceAddress& address, TokenRenewer renewer)
    : RestClient(address.host, address.port, std::move(renewer), address.caFile, address.timeouts) {
  SetInterrupt(address.interrupt);
}

int64_t WordPressClient::NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void WordPressClient::SetClientOnline(const std::string& token) {
  std::string noHeaderToken;
  Request("GET",
          "/settings/setorupdateuserclientonline/" + CheckedPathValue(token) + "/" + ProgramVersion() + "/" +
              std::to_string(NowMillis()),
          {}, noHeaderToken, kServiceRetries);
}

void WordPressClient::SetStationChoice(const std::string& token, uint32_t passedEndpoints) {
  std::string noHeaderToken;
  Request("GET",
          "/settings/setorupdateuserstationchoice/" + CheckedPathValue(token) + "/" +
              std::to_string(NowMillis()) + "/" + std::to_string(passedEndpoints),
          {}, noHeaderToken, kServiceRetries);
}

YoutubeSettings WordPressClient::GetYoutubeSettings(std::string& token) {
  return YoutubeSettings(
      Request("GET", "/settings/getusermetaplain?settings=youtube", {}, token, kServiceRetries).Text());
}
