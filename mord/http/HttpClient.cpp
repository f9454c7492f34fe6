#include "mord/http/HttpClient.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "sov/base/Log.h"
#include "sov/base/Text.h"

#ifndef ZEP_VERSION
#define ZEP_VERSION "0.0.0"
#endif

namespace {

constexpr std::size_t kMaxIdleHandles = 8;
// The request id is only logged; longer values are not kept.
constexpr std::size_t kMaxRequestIdLength = 63;
constexpr std::size_t kBodyLogLimit = 1024;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

int32_t ErrnoFor(CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return EHOSTUNREACH;
    case CURLE_COULDNT_CONNECT:
      return ECONNREFUSED;
    case CURLE_OPERATION_TIMEDOUT:
      return ETIMEDOUT;
    case CURLE_SEND_ERROR:
      return EPIPE;
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return ECONNRESET;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return EPROTO;
    case CURLE_OUT_OF_MEMORY:
      return ErrCode::OutOfMemory;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ErrCode::InvalidArg;
    default:
      return EIO;
  }
}

[[noreturn]] void ThrowCurl(CURLcode rc, int line) {
  throw HttpTransportException(ErrnoFor(rc), curl_easy_strerror(rc), ZEP_SOURCE, line);
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

struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

void AppendHeader(Slist& list, const std::string& line) {
  curl_slist* next = curl_slist_append(list.get(), line.c_str());
  if (next == nullptr) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  list.release();
  list.reset(next);
}

struct Transfer {
  HttpResponse* response = nullptr;
  bool tooBig = false;
  std::string requestId;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (!transfer->response->Append(data, n)) {
    transfer->tooBig = true;
    return 0;  // makes libcurl stop the transfer
  }
  return n;
}

size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t n = size * count;
  std::string_view line(data, n);
  if (line.substr(0, 5) == "HTTP/") {
    transfer->requestId.clear();  // a new response (after 100 Continue, say)
    return n;
  }
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos && text::EqualsNoCase(Trim(line.substr(0, colon)), "X-Request-ID")) {
    std::string_view value = Trim(line.substr(colon + 1));
    transfer->requestId = value.size() <= kMaxRequestIdLength ? std::string(value) : std::string();
  }
  return n;
}

}  // namespace

HttpResponse::HttpResponse() {
  data_.reset(static_cast<char*>(std::malloc(kInitialCapacity)));
  if (!data_) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  capacity_ = kInitialCapacity;
  data_.get()[0] = '\0';
}

bool HttpResponse::Append(const char* bytes, std::size_t n) {
  // Room is always kept for the terminating zero.
  if (n > kMaxCapacity || size_ + n + 1 > capacity_) {
    if (capacity_ == kMaxCapacity || n > kMaxCapacity || size_ + n + 1 > kMaxCapacity) return false;
    char* grown = static_cast<char*>(std::realloc(data_.get(), kMaxCapacity));
    if (grown == nullptr) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
    data_.release();
    data_.reset(grown);
    capacity_ = kMaxCapacity;
  }
  std::memcpy(data_.get() + size_, bytes, n);
  size_ += n;
  data_.get()[size_] = '\0';
  return true;
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

struct HttpClient::Shared {
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Shared*>(user)->locks.at(static_cast<std::size_t>(data)).lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Shared*>(user)->locks.at(static_cast<std::size_t>(data)).unlock();
  }
  ~Shared() {
    if (share != nullptr) curl_share_cleanup(share);
  }
};

void HttpClient::EasyDeleter::operator()(void* easy) const noexcept {
  curl_easy_cleanup(easy);
}

HttpClient::HttpClient(std::string host, uint16_t port, std::string caFile, HttpTimeouts timeouts)
    : host_(std::move(host)),
      port_(port),
      caFile_(std::move(caFile)),
      timeouts_(timeouts),
      userAgent_("vekta/mord/" + ProgramVersion()) {
  GlobalInit();
  LOGD_(this) << "HTTP client connecting to " << host_;
  if (!caFile_.empty() && !std::ifstream(caFile_).good()) {
    LOGE_(this) << "HTTP client failed to connect to " << host_ << ": CA file " << caFile_
                << " cannot be read";
    throw ErrCodeException(ENOENT, ZEP_SOURCE, __LINE__);
  }
  auto shared = std::make_unique<Shared>();
  shared->share = curl_share_init();
  bool ok = shared->share != nullptr &&
            curl_share_setopt(shared->share, CURLSHOPT_LOCKFUNC, &Shared::Lock) == CURLSHE_OK &&
            curl_share_setopt(shared->share, CURLSHOPT_UNLOCKFUNC, &Shared::Unlock) == CURLSHE_OK &&
            curl_share_setopt(shared->share, CURLSHOPT_USERDATA, shared.get()) == CURLSHE_OK &&
            curl_share_setopt(shared->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
            curl_share_setopt(shared->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
  if (!ok) {
    LOGE_(this) << "HTTP client failed to connect to " << host_;
    throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  }
  shared_ = std::move(shared);
}

HttpClient::~HttpClient() {
  // Easy handles go before the share handle they point at.
  idle_.clear();
  shared_.reset();
}

HttpClient::EasyHandle HttpClient::TakeEasy() {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!idle_.empty()) {
      EasyHandle easy = std::move(idle_.back());
      idle_.pop_back();
      curl_easy_reset(easy.get());  // keeps the handle's live connections
      return easy;
    }
  }
  EasyHandle easy(curl_easy_init());
  if (!easy) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  return easy;
}

void HttpClient::ReturnEasy(EasyHandle easy) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  if (idle_.size() < kMaxIdleHandles) idle_.push_back(std::move(easy));
}

namespace {

CURLcode AddTrustAnchor(CURL*, void* sslCtx, void* user) {
  const auto* caFile = static_cast<const std::string*>(user);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
  if (store == nullptr || X509_STORE_load_file(store, caFile->c_str()) != 1) return CURLE_SSL_CACERT_BADFILE;
  return CURLE_OK;
}

std::string HostForUrl(const std::string& host) {
  // An IPv6 literal needs brackets in a URL.
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

}  // namespace

HttpResponse HttpClient::Request(std::string_view verb, std::string_view path, const void* body,
                                 std::size_t bodyLength, const std::vector<std::string>& extraHeaders) {
  const std::string fullPath = basePath_ + std::string(path);
  LOGD_(this) << verb << " to " << fullPath;

  EasyHandle easy = TakeEasy();
  CURL* h = easy.get();
  const std::string url = std::string(secure_ ? "https://" : "http://") + HostForUrl(host_) + ":" +
                          std::to_string(port_) + fullPath;
  const std::string method(verb);

  Slist headers;
  AppendHeader(headers, "Content-Type: application/json");
  AppendHeader(headers, "Accept: application/json");
  // Always answered by the service itself, never from a proxy's cache.
  AppendHeader(headers, "Pragma: no-cache");
  AppendHeader(headers, "Cache-Control: no-cache");
  AppendHeader(headers, "Expect:");  // no 100-continue round trip for larger bodies
  for (const std::string& line : extraHeaders) {
    if (!IsSafeHeaderLine(line)) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
    const size_t colon = line.find(':');
    // libcurl drops "Name:" lines; "Name;" sends the header with an empty value.
    if (colon != std::string::npos && Trim(std::string_view(line).substr(colon + 1)).empty())
      AppendHeader(headers, std::string(Trim(std::string_view(line).substr(0, colon))) + ";");
    else
      AppendHeader(headers, line);
  }

  curl_easy_setopt(h, CURLOPT_SHARE, shared_->share);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, secure_ ? "https" : "http");
  curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent_.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile_.empty()) {
    curl_easy_setopt(h, CURLOPT_CA_CACHE_TIMEOUT, 0L);  // the anchor is added to each fresh store
    if (curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &AddTrustAnchor) == CURLE_OK) {
      curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &caFile_);
    } else {
      curl_easy_setopt(h, CURLOPT_CAINFO, caFile_.c_str());  // TLS back-end without SSL_CTX access
    }
  }
  // Name resolution and connecting have a budget each; libcurl has one for both.
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>((timeouts_.resolve + timeouts_.connect).count()));
  // Sending or receiving stalls fail after the longer of the two idle limits.
  const auto idle = std::max(timeouts_.send, timeouts_.receive);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>((idle.count() + 999) / 1000)));

  static const char kNoBody[] = "";
  if (method == "GET" && bodyLength == 0) {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body != nullptr ? body : kNoBody);
    if (method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  long status = 0;
  HttpResponse response = ReadResponse(h, status);
  // The transfer completed, so the connection stays usable whatever the status.
  ReturnEasy(std::move(easy));

  if (status == 401) throw HttpNotAuthorizedException(ZEP_SOURCE, __LINE__);
  if (status < 400) return response;
  if (status >= 500) throw HttpServer5xxException(ZEP_SOURCE, __LINE__);
  throw HttpClient4xxException("Http 4xx Client Error", ZEP_SOURCE, __LINE__);
}

HttpResponse HttpClient::ReadResponse(void* easy, long& status) {
  CURL* h = easy;
  HttpResponse response;
  Transfer transfer;
  transfer.response = &response;
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &ReadHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  const CURLcode rc = curl_easy_perform(h);
  // A body that outgrew the limit stopped the transfer after the status line
  // arrived; every other failure means there is no response to speak of.
  if (rc != CURLE_OK && !transfer.tooBig) ThrowCurl(rc, __LINE__);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  const bool debug = zlog::Enabled(0, zlog::Severity::Debug);
  if (debug) LOGD_(this) << "Response code " << status << ", req-id: " << transfer.requestId;
  if (transfer.tooBig) {
    LOGE_(this) << "Http response too big";
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  }
  if (debug) {
    if (response.Size() >= kBodyLogLimit)
      LOGD_(this) << response.Size();
    else
      LOGD_(this) << response.View();
  }
  return response;
}
