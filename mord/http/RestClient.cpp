#include "mord/http/RestClient.h"

#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Waitable.h"

namespace {

std::vector<std::string> AuthHeader(const std::string& token) {
  return {"X-Auth-Token: " + token};
}

void CheckToken(const std::string& token) {
  // The token comes from the browser; it must not add lines to the request.
  if (token.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw HttpRequestException("token holds a line break", ZEP_SOURCE, __LINE__);
}

}  // namespace

RestClient::RestClient(std::string host, uint16_t port, TokenRenewer renewer, std::string caFile,
                       HttpTimeouts timeouts)
    : HttpClient(std::move(host), port, std::move(caFile), timeouts), renewer_(std::move(renewer)) {}

void RestClient::WaitBeforeRetry() {
  if (pause_) {
    pause_(kRetryPause);
  } else if (platform::Event* interrupt = Interrupt()) {
    if (platform::WaitAny({interrupt}, static_cast<int>(kRetryPause.count())) == 0)
      throw InterruptException(ZEP_SOURCE, __LINE__);
  } else {
    std::this_thread::sleep_for(kRetryPause);
  }
}

HttpResponse RestClient::Request(std::string_view verb, std::string_view path, const void* body,
                                 std::size_t bodyLength, std::string& token, int retries) {
  CheckToken(token);
  for (int left = retries;; --left) {
    bool unauthorized = false;
    try {
      return HttpClient::Request(verb, path, body, bodyLength, AuthHeader(token));
    } catch (const InterruptException&) {
      throw;
    } catch (const HttpRequestException&) {
      throw;  // refused before sending: the same request would be refused again
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
    WaitBeforeRetry();
    if (left <= 0) return HttpClient::Request(verb, path, body, bodyLength, AuthHeader(token));
  }
}
