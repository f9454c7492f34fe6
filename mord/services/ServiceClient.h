#pragma once
// Where a service client connects; the service clients differ only in paths.
#include <cstdint>
#include <string>

#include "mord/http/RestClient.h"

struct ServiceAddress {
  std::string host;
  uint16_t port = 443;
  std::string caFile;  // extra trust anchor (PEM); empty: system store only
  HttpTimeouts timeouts;
  platform::Event* interrupt = nullptr;  // ends requests and retry pauses; may be null
};

// Every call retries transient failures this many times, except the start of a
// station handshake.
constexpr int kServiceRetries = 6;
constexpr int kHandshakeRetries = 2;

// Values from outside (the browser, the back-end's answers) that go into a
// request path are checked before use, so that none can name another
// resource or add a query; each returns its value or throws
// HttpRequestException (E_INVALIDARG) without anything being sent.

// A session id: 36 characters, 8-4-4-4-12 hex digits.
const std::string& CheckedSessionId(const std::string& id);
// Any other value: non-empty, letters, digits and "-._~" only, and not a dot segment.
const std::string& CheckedPathValue(const std::string& value);
