#include "zep/channels/OpenLink.h"

#include <cctype>

#include "platform/Process.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"

namespace {

bool ValidHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == '~' ||
         c == '%';
}

bool ValidAuthority(std::string_view authority) {
  if (authority.empty() || authority.find('@') != std::string_view::npos) return false;
  std::string_view host = authority;
  std::string_view rest;
  if (host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (char c : host.substr(1, close - 1))
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    rest = host.substr(close + 1);
  } else {
    const std::size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
      rest = host.substr(colon);
      host = host.substr(0, colon);
    }
    if (host.empty()) return false;
    for (char c : host)
      if (!ValidHostChar(c)) return false;
  }
  if (rest.empty()) return true;
  // A port: ':' and one to five digits, 1..65535.
  if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return false;
  unsigned value = 0;
  for (char c : rest.substr(1)) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

}  // namespace

std::optional<std::string> CheckedLink(std::u16string_view link) {
  std::string url;
  for (std::size_t i = 0; i < link.size(); ++i) {
    char32_t c = link[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < link.size() && link[i + 1] >= 0xDC00 && link[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (link[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return std::nullopt;
    }
    if (c <= 0x20 || c == 0x7F || c == '\\') return std::nullopt;
    if (c < 0x80) {
      url.push_back(static_cast<char>(c));
      continue;
    }
    // The opener gets plain ASCII: anything else travels percent-encoded.
    std::string utf8;
    text::AppendUtf8(utf8, c);
    for (unsigned char b : utf8) {
      url.push_back('%');
      text::AppendHexByte(url, b);
    }
  }
  const std::size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return std::nullopt;
  const std::string_view scheme(url.data(), schemeEnd);
  if (!text::EqualsNoCase(scheme, "http") && !text::EqualsNoCase(scheme, "https")) return std::nullopt;
  const std::size_t hostStart = schemeEnd + 3;
  const std::size_t hostEnd = url.find_first_of("/?#", hostStart);
  const std::string_view authority = std::string_view(url).substr(
      hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
  if (!ValidAuthority(authority)) return std::nullopt;
  return url;
}

bool OpenLink(std::u16string_view link) {
  std::optional<std::string> url = CheckedLink(link);
  if (!url) {
    LOGD << "Open link dropped: not an http or https link without user name and password";
    return false;
  }
  LOGD << "Open link " << *url;
  return platform::SpawnDetached({"xdg-open", *url});
}
