#pragma once
// HttpClient plus the back-end's conventions: the "X-Auth-Token" header, one
// token renewal on 401, no retry on other client errors, and retries with a
// 2 s pause for everything transient. The pause ends early, with
// InterruptException, when the client's interrupt event is set.
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "mord/http/HttpClient.h"

// Replaces the token it is given with a fresh one (in place).
using TokenRenewer = std::function<void(std::string& token)>;

class RestClient : public HttpClient {
 public:
  static constexpr std::chrono::milliseconds kRetryPause{2000};
  using Pause = std::function<void(std::chrono::milliseconds)>;

  RestClient(std::string host, uint16_t port, TokenRenewer renewer = {}, std::string caFile = {},
             HttpTimeouts timeouts = {});

  // Set right after construction, before any request.
  void SetRenewer(TokenRenewer renewer) { renewer_ = std::move(renewer); }
  // Replaces the wait between attempts (tests); the replacement answers for
  // the interrupt itself.
  void SetPause(Pause pause) { pause_ = std::move(pause); }

  // The token goes out as "X-Auth-Token" (an empty token as an empty value) and
  // is replaced in place when a 401 makes the renewer run. A transient failure
  // is retried: at most retries + 2 attempts, with a pause after each failed
  // attempt but the last. Requests refused before sending (HttpRequestException)
  // and interrupts are never retried.
  HttpResponse Request(std::string_view verb, std::string_view path, const void* body, std::size_t bodyLength,
                       std::string& token, int retries);
  HttpResponse Request(std::string_view verb, std::string_view path, std::string_view body,
                       std::string& token, int retries) {
    return Request(verb, path, body.data(), body.size(), token, retries);
  }

 private:
  void WaitBeforeRetry();

  TokenRenewer renewer_;
  Pause pause_;
};
