#include "mord/http/RestClient.h"

#include <thread>
#include <vector>

namespace {

std::vector<std::string> AuthHeader(const std::string& token) {
  return {"X-Auth-Token: " + token};
}

void CheckToken(const std::string& token) {
  // The token comes from the browser; it must not add lines to the request.
  if (token.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

}  // namespace

RestClient::RestClient(std::string host, uint16_t port, TokenRenewer renewer, std::string caFile,
                       HttpTimeouts timeouts)
    : HttpClient(std::move(host), port, std::move(caFile), timeouts),
      renewer_(std::move(renewer)),
      pause_([](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }) {}

HttpResponse RestClient::Request(std::string_view verb, std::string_view path, const void* body,
                                 std::size_t bodyLength, std::string& token, int retries) {
  CheckToken(token);
  for (int left = retries;; --left) {
    bool unauthorized = false;
    try {
      return HttpClient::Request(verb, path, body, bodyLength, AuthHeader(token));
    } catch (const HttpNotAuthorizedException&) {
      if (!renewer_) throw;
      unauthorized = true;
    } catch (const HttpClient4xxException&) {
      throw;  // a client error is never retried
    } catch (const std::exception&) {
      // transient: retried below
    }
    if (unauthorized) {
      // One renewal and one more request; whatever fails now is the caller's.
      renewer_(token);
      CheckToken(token);
      return HttpClient::Request(verb, path, body, bodyLength, AuthHeader(token));
    }
    pause_(kRetryPause);
    if (left <= 0) return HttpClient::Request(verb, path, body, bodyLength, AuthHeader(token));
  }
}
