#pragma once
// The request checks both HttpClient implementations share: what a path, a
// header line and a host may hold before anything is sent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class HttpResponse;

namespace http_detail {

// The request id is only logged; longer values are not kept.
constexpr std::size_t kMaxRequestIdLength = 63;
// Bodies from this size on are logged by their size alone.
constexpr std::size_t kBodyLogLimit = 1024;

// A path (and query) that names exactly what the caller built: it is sent as
// is, so dot segments, blanks, control bytes and fragments are refused.
bool IsSafePath(std::string_view path);
// A header line must not smuggle further lines into the request.
bool IsSafeHeaderLine(std::string_view line);
// Blanks and tabs (and a line end) off both ends.
std::string_view Trim(std::string_view s);
// The host as a URL names it: an IPv6 literal in brackets.
std::string HostForUrl(const std::string& host);
// The host without the brackets of an IPv6 literal, as resolvers and address parsers take it.
std::string BareHost(const std::string& host);
// Refuses, with the log line that says why, a client no request could ever go out on: port 0
// (HttpRequestException) or a CA file that cannot be read (ErrCodeException ENOENT).
void CheckClientTarget(const void* client, const std::string& host, uint16_t port, const std::string& caFile);
// The debug log lines of an answer: its status and request id, then its body or size.
void LogAnswer(const void* client, long status, const std::string& requestId, const HttpResponse& body);
// The answer itself below 400; HttpNotAuthorizedException for 401, HttpServer5xxException from
// 500, HttpClient4xxException for the rest.
HttpResponse ByStatus(long status, HttpResponse response);

}  // namespace http_detail
