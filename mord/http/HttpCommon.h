#pragma once
// The request checks both HttpClient implementations share: what a path, a
// header line and a host may hold before anything is sent.
#include <string>
#include <string_view>

namespace http_detail {

// A path (and query) that names exactly what the caller built: it is sent as
// is, so dot segments, blanks, control bytes and fragments are refused.
bool IsSafePath(std::string_view path);
// A header line must not smuggle further lines into the request.
bool IsSafeHeaderLine(std::string_view line);
// Blanks and tabs (and a line end) off both ends.
std::string_view Trim(std::string_view s);
// The host as a URL names it: an IPv6 literal in brackets.
std::string HostForUrl(const std::string& host);

}  // namespace http_detail
