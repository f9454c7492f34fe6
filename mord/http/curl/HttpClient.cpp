#include "mord/http/HttpClient.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#ifdef __linux__
#include <sys/socket.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "mord/http/HttpCommon.h"
#include "platform/Event.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"

using http_detail::HostForUrl;
using http_detail::IsSafeHeaderLine;
using http_detail::IsSafePath;
using http_detail::kMaxRequestIdLength;
using http_detail::Trim;

namespace {

constexpr std::size_t kMaxIdleHandles = 8;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

#ifdef __linux__
// libcurl's own sockets are inheritable; ours are not, so no program the service starts holds
// a connection to the back-end.
curl_socket_t OpenCloseOnExecSocket(void*, curlsocktype, curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}
#endif

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
    default:
      return EIO;
  }
}

// Failures of the request itself, found before anything went out.
bool IsLocalRefusal(CURLcode rc) {
  switch (rc) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_NOT_BUILT_IN:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_UNKNOWN_OPTION:
    case CURLE_SETOPT_OPTION_SYNTAX:
    case CURLE_FAILED_INIT:
    case CURLE_SSL_CACERT_BADFILE:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void ThrowCurl(CURLcode rc, int line) {
  // libcurl's texts are static, so the exception may keep the pointer.
  if (IsLocalRefusal(rc)) throw HttpRequestException(curl_easy_strerror(rc), ZEP_SOURCE, line);
  throw HttpTransportException(ErrnoFor(rc), curl_easy_strerror(rc), ZEP_SOURCE, line);
}

// Options are set in bulk; the first one libcurl refuses fails the request
// before anything is sent.
class Options {
 public:
  explicit Options(CURL* easy) : easy_(easy) {}
  template <class T>
  void Set(CURLoption option, T value) {
    const CURLcode rc = curl_easy_setopt(easy_, option, value);
    if (rc != CURLE_OK && first_ == CURLE_OK) first_ = rc;
  }
  void Check(int line) const {
    if (first_ == CURLE_OUT_OF_MEMORY) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, line);
    if (first_ != CURLE_OK) throw HttpRequestException(curl_easy_strerror(first_), ZEP_SOURCE, line);
  }

 private:
  CURL* easy_;
  CURLcode first_ = CURLE_OK;
};

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

}  // namespace

// What the callbacks of one transfer share with the code that runs it. No
// exception may cross libcurl's C frames, so a callback records its failure
// here and stops the transfer; the failure is raised once perform returns.
struct HttpClient::Transfer {
  HttpResponse* response = nullptr;
  platform::Event* interrupt = nullptr;
  bool tooBig = false;
  bool outOfMemory = false;
  bool interrupted = false;
  std::exception_ptr failure;
  std::string requestId;

  static size_t WriteBody(char* data, size_t size, size_t count, void* user) noexcept {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    switch (t->response->Append(data, n)) {
      case HttpResponse::AppendResult::kOk:
        return n;
      case HttpResponse::AppendResult::kTooBig:
        t->tooBig = true;
        return 0;  // makes libcurl stop the transfer
      case HttpResponse::AppendResult::kOutOfMemory:
        t->outOfMemory = true;
        return 0;
    }
    return 0;
  }

  static size_t ReadHeader(char* data, size_t size, size_t count, void* user) noexcept {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    try {
      std::string_view line(data, n);
      if (line.substr(0, 5) == "HTTP/") {
        t->requestId.clear();  // a new response (after 100 Continue, say)
        return n;
      }
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos &&
          text::EqualsNoCase(Trim(line.substr(0, colon)), "X-Request-ID")) {
        std::string_view value = Trim(line.substr(colon + 1));
        t->requestId = value.size() <= kMaxRequestIdLength ? std::string(value) : std::string();
      }
      return n;
    } catch (...) {
      t->failure = std::current_exception();
      return 0;
    }
  }

  // libcurl calls this while the transfer runs; non-zero aborts it.
  static int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    auto* t = static_cast<Transfer*>(user);
    if (t->interrupt != nullptr && t->interrupt->IsSet()) t->interrupted = true;
    return t->interrupted ? 1 : 0;
  }
};

namespace {}  // namespace

struct HttpClient::Shared {
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

  // noexcept: a failure to lock ends the program rather than unwinding through libcurl.
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) noexcept {
    static_cast<Shared*>(user)->locks[static_cast<std::size_t>(data) % CURL_LOCK_DATA_LAST].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) noexcept {
    static_cast<Shared*>(user)->locks[static_cast<std::size_t>(data) % CURL_LOCK_DATA_LAST].unlock();
  }
  ~Shared() {
    if (share != nullptr) curl_share_cleanup(share);
  }
};

HttpClient::HandlePair::~HandlePair() {
  // The easy handle is never left attached, so it goes first and the multi
  // handle closes the connections it kept.
  if (easy != nullptr) curl_easy_cleanup(easy);
  if (multi != nullptr) curl_multi_cleanup(multi);
}

HttpClient::HttpClient(std::string host, uint16_t port, std::string caFile, HttpTimeouts timeouts)
    : host_(std::move(host)),
      port_(port),
      caFile_(std::move(caFile)),
      timeouts_(timeouts),
      userAgent_("vekta/mord/" + ProgramVersion()) {
  GlobalInit();
  LOGD_(this) << "HTTP client connecting to " << host_;
  http_detail::CheckClientTarget(this, host_, port_, caFile_);
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
  // Handles go before the share handle they point at.
  idle_.clear();
  shared_.reset();
}

HttpClient::Handle HttpClient::TakeHandle() {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!idle_.empty()) {
      Handle handle = std::move(idle_.back());
      idle_.pop_back();
      curl_easy_reset(handle->easy);  // keeps the live connections
      return handle;
    }
  }
  auto handle = std::make_unique<HandlePair>();
  handle->multi = curl_multi_init();
  handle->easy = curl_easy_init();
  if (handle->multi == nullptr || handle->easy == nullptr)
    throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  return handle;
}

void HttpClient::ReturnHandle(Handle handle) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  if (idle_.size() < kMaxIdleHandles) idle_.push_back(std::move(handle));
}

namespace {

CURLcode AddTrustAnchor(CURL*, void* sslCtx, void* user) {
  const auto* caFile = static_cast<const std::string*>(user);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
  if (store == nullptr || X509_STORE_load_file(store, caFile->c_str()) != 1) return CURLE_SSL_CACERT_BADFILE;
  return CURLE_OK;
}

}  // namespace

HttpResponse HttpClient::Request(std::string_view verb, std::string_view path, const void* body,
                                 std::size_t bodyLength, const std::vector<std::string>& extraHeaders) {
  const std::string fullPath = basePath_ + std::string(path);
  LOGD_(this) << verb << " to " << fullPath;
  // Paths go out as built (no "." or ".." folding), so they are checked instead.
  if (!IsSafePath(fullPath)) throw HttpRequestException("request path is malformed", ZEP_SOURCE, __LINE__);
  if (interrupt_ != nullptr && interrupt_->IsSet()) throw InterruptException(ZEP_SOURCE, __LINE__);

  Handle handle = TakeHandle();
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
    if (!IsSafeHeaderLine(line)) throw HttpRequestException("header line is malformed", ZEP_SOURCE, __LINE__);
    const size_t colon = line.find(':');
    // libcurl drops "Name:" lines; "Name;" sends the header with an empty value.
    if (colon != std::string::npos && Trim(std::string_view(line).substr(colon + 1)).empty())
      AppendHeader(headers, std::string(Trim(std::string_view(line).substr(0, colon))) + ";");
    else
      AppendHeader(headers, line);
  }

  Options o(handle->easy);
  o.Set(CURLOPT_SHARE, shared_->share);
  o.Set(CURLOPT_NOSIGNAL, 1L);
#ifdef __linux__
  o.Set(CURLOPT_OPENSOCKETFUNCTION, &OpenCloseOnExecSocket);
#endif
  o.Set(CURLOPT_URL, url.c_str());
  o.Set(CURLOPT_PROTOCOLS_STR, secure_ ? "https" : "http");
  o.Set(CURLOPT_PATH_AS_IS, 1L);  // safe: IsSafePath refused dot segments above
  o.Set(CURLOPT_USERAGENT, userAgent_.c_str());
  o.Set(CURLOPT_HTTPHEADER, headers.get());
  o.Set(CURLOPT_FOLLOWLOCATION, 0L);
  o.Set(CURLOPT_SSL_VERIFYPEER, 1L);
  o.Set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile_.empty()) {
    o.Set(CURLOPT_CA_CACHE_TIMEOUT, 0L);  // the anchor is added to each fresh store
    if (curl_easy_setopt(handle->easy, CURLOPT_SSL_CTX_FUNCTION, &AddTrustAnchor) == CURLE_OK) {
      o.Set(CURLOPT_SSL_CTX_DATA, &caFile_);
    } else {
      o.Set(CURLOPT_CAINFO, caFile_.c_str());  // TLS back-end without SSL_CTX access
    }
  }
  // Name resolution and connecting have a budget each; libcurl has one for both.
  o.Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>((timeouts_.resolve + timeouts_.connect).count()));
  // Sending or receiving stalls fail after the longer of the two idle limits.
  const auto idle = std::max(timeouts_.send, timeouts_.receive);
  o.Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  o.Set(CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>((idle.count() + 999) / 1000)));

  static const char kNoBody[] = "";
  if (method == "GET" && bodyLength == 0) {
    o.Set(CURLOPT_HTTPGET, 1L);
  } else {
    o.Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    o.Set(CURLOPT_POSTFIELDS, body != nullptr ? body : kNoBody);
    if (method != "POST") o.Set(CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  o.Check(__LINE__);

  long status = 0;
  HttpResponse response = ReadResponse(*handle, status);
  // The transfer completed, so the connection stays usable whatever the status.
  ReturnHandle(std::move(handle));

  return http_detail::ByStatus(status, std::move(response));
}

namespace {

// Runs the easy handle's transfer on its multi handle. The wait includes the
// interrupt event, so a set event ends even a transfer that is idle on a silent
// server at once; libcurl's own loop would only look at it about once a second.
CURLcode Perform(CURLM* multi, CURL* easy, platform::Event* interrupt, bool& interrupted) {
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_OUT_OF_MEMORY;
      break;
    }
    if (running == 0) {
      int left = 0;
      CURLMsg* msg = curl_multi_info_read(multi, &left);
      result = msg != nullptr && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_FAILED_INIT;
      break;
    }
    if (interrupt != nullptr && interrupt->IsSet()) {
      interrupted = true;  // the progress callback did not get a turn; stop here
      break;
    }
    curl_waitfd wake{};
    if (interrupt != nullptr) {
      wake.fd = interrupt->fd();
      wake.events = CURL_WAIT_POLLIN;
    }
    if (curl_multi_poll(multi, interrupt != nullptr ? &wake : nullptr, interrupt != nullptr ? 1 : 0, 1000,
                        nullptr) != CURLM_OK) {
      result = CURLE_OUT_OF_MEMORY;
      break;
    }
  }
  curl_multi_remove_handle(multi, easy);
  return result;
}

}  // namespace

HttpResponse HttpClient::ReadResponse(HandlePair& handle, long& status) {
  CURL* h = handle.easy;
  HttpResponse response;
  Transfer transfer;
  transfer.response = &response;
  transfer.interrupt = interrupt_;
  Options o(h);
  o.Set(CURLOPT_WRITEFUNCTION, &Transfer::WriteBody);
  o.Set(CURLOPT_WRITEDATA, &transfer);
  o.Set(CURLOPT_HEADERFUNCTION, &Transfer::ReadHeader);
  o.Set(CURLOPT_HEADERDATA, &transfer);
  if (interrupt_ != nullptr) {
    o.Set(CURLOPT_NOPROGRESS, 0L);
    o.Set(CURLOPT_XFERINFOFUNCTION, &Transfer::Progress);
    o.Set(CURLOPT_XFERINFODATA, &transfer);
  }
  o.Check(__LINE__);
  const CURLcode rc = Perform(handle.multi, h, interrupt_, transfer.interrupted);
  if (transfer.interrupted) throw InterruptException(ZEP_SOURCE, __LINE__);
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  if (transfer.outOfMemory) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  // A body that outgrew the limit stopped the transfer after the status line
  // arrived; every other failure means there is no response to speak of.
  if (rc != CURLE_OK && !transfer.tooBig) ThrowCurl(rc, __LINE__);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  if (transfer.tooBig) {
    LOGD_(this) << "Response code " << status << ", req-id: " << transfer.requestId;
    LOGE_(this) << "Http response too big";
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  }
  http_detail::LogAnswer(this, status, transfer.requestId, response);
  return response;
}
