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
};

// Every call retries transient failures this many times, except the start of a
// station handshake.
constexpr int kServiceRetries = 6;
constexpr int kHandshakeRetries = 2;
