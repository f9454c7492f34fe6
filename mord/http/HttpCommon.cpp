#include "mord/http/HttpCommon.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "mord/http/HttpClient.h"
#include "sov/base/Log.h"

#ifndef ZEP_VERSION
#define ZEP_VERSION "0.0.0"
#endif

namespace http_detail {

// A path (and query) that names exactly what the caller built: it is sent as
// is, so dot segments, blanks, control bytes and fragments are refused here.
bool IsSafePath(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  const std::size_t query = path.find('?');
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto ch = static_cast<unsigned char>(path[i]);
    if (ch <= 0x20 || ch >= 0x7F || ch == '#' || ch == '\\') return false;
    if (i < query && ch == '/') {
      std::string_view segment = path.substr(i + 1, std::min(path.find('/', i + 1), query) - i - 1);
      if (segment == "." || segment == "..") return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// A header line must not smuggle further lines into the request.
bool IsSafeHeaderLine(std::string_view line) {
  return line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string HostForUrl(const std::string& host) {
  // An IPv6 literal needs brackets in a URL.
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

void LogAnswer(const void* client, long status, const std::string& requestId, const HttpResponse& body) {
  if (!zlog::Enabled(0, zlog::Severity::Debug)) return;
  LOGD_(client) << "Response code " << status << ", req-id: " << requestId;
  if (body.Size() >= kBodyLogLimit)
    LOGD_(client) << body.Size();
  else
    LOGD_(client) << body.View();
}

HttpResponse ByStatus(long status, HttpResponse response) {
  if (status == 401) throw HttpNotAuthorizedException(ZEP_SOURCE, __LINE__);
  if (status < 400) return response;
  if (status >= 500) throw HttpServer5xxException(ZEP_SOURCE, __LINE__);
  throw HttpClient4xxException("Http 4xx Client Error", ZEP_SOURCE, __LINE__);
}

std::string BareHost(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

void CheckClientTarget(const void* client, const std::string& host, uint16_t port,
                       const std::string& caFile) {
  if (port == 0) {
    LOGE_(client) << "HTTP client failed to connect to " << host << ": port 0";
    throw HttpRequestException("port outside 1..65535", ZEP_SOURCE, __LINE__);
  }
  if (!caFile.empty() && !std::ifstream(caFile).good()) {
    LOGE_(client) << "HTTP client failed to connect to " << host << ": CA file " << caFile
                  << " cannot be read";
    throw ErrCodeException(ENOENT, ZEP_SOURCE, __LINE__);
  }
}

}  // namespace http_detail

HttpResponse::HttpResponse() {
  data_.reset(static_cast<char*>(std::malloc(kInitialCapacity)));
  if (!data_) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  capacity_ = kInitialCapacity;
  data_.get()[0] = '\0';
}

HttpResponse::AppendResult HttpResponse::Append(const char* bytes, std::size_t n) noexcept {
  // Room is always kept for the terminating zero.
  if (n > kMaxCapacity || size_ + n + 1 > capacity_) {
    if (capacity_ == kMaxCapacity || n > kMaxCapacity || size_ + n + 1 > kMaxCapacity)
      return AppendResult::kTooBig;
    char* grown = static_cast<char*>(std::realloc(data_.get(), kMaxCapacity));
    if (grown == nullptr) return AppendResult::kOutOfMemory;
    data_.release();
    data_.reset(grown);
    capacity_ = kMaxCapacity;
  }
  std::memcpy(data_.get() + size_, bytes, n);
  size_ += n;
  data_.get()[size_] = '\0';
  return AppendResult::kOk;
}

const std::string& ProgramVersion() {
  static const std::string version = [] {
    unsigned parts[4] = {0, 0, 0, 0};
    std::sscanf(ZEP_VERSION, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    char text[24];  // room for four 5-digit parts
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", parts[0] & 0xFFFF, parts[1] & 0xFFFF, parts[2] & 0xFFFF,
                  parts[3] & 0xFFFF);
    return std::string(text);
  }();
  return version;
}
