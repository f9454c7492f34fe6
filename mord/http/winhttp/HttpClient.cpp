// HttpClient on WinHTTP in asynchronous mode: each step of a request (send,
// headers, each read) is started here and its completion is waited for beside
// the interrupt event, so a set event ends even a request idle on a silent
// server at once. The time-outs are WinHTTP's own four (resolve, connect, send,
// receive), which match HttpTimeouts one to one.
//
// A configured CA file is checked here rather than by WinHTTP, which only knows
// the system store: WinHTTP is told to accept an unknown root, and before the
// request goes out (the "sending request" notification) the server's
// certificate must chain to a certificate of the CA file or to a root the
// system trusts, and must name the host in its subject alternative names (or,
// without those, its common name); any other certificate closes the request
// unsent. For an IP literal host WinHTTP's own name check is off on that path,
// as Wine's matches DNS names only and a certificate for an IP address would
// never pass. Without a CA file every check is WinHTTP's.
#include "mord/http/HttpClient.h"

// winsock2.h (inet_pton) before windows.h, which would pull in the old winsock.h.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// wincrypt.h and winhttp.h need the types of windows.h first.
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "mord/http/HttpCommon.h"
#include "platform/Event.h"
#include "platform/win32/Win32.h"
#include "sov/base/Log.h"

using http_detail::IsSafeHeaderLine;
using http_detail::IsSafePath;
using http_detail::kMaxRequestIdLength;
using http_detail::Trim;

namespace {

constexpr DWORD kReadChunk = 0x10000;

struct ErrorText {
  DWORD error;
  int32_t code;
  const char* text;
};

// The errno value and a static text for each WinHTTP failure.
ErrorText DescribeError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return {error, EHOSTUNREACH, "Couldn't resolve host name"};
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return {error, ECONNREFUSED, "Couldn't connect to server"};
    case ERROR_WINHTTP_TIMEOUT:
      return {error, ETIMEDOUT, "Timeout was reached"};
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return {error, ECONNRESET, "Failure when receiving data from the peer"};
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return {error, EPROTO, "SSL peer certificate or SSH remote key was not OK"};
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return {error, ErrCode::OutOfMemory, "Out of memory"};
    default:
      return {error, EIO, "Failure in the HTTP transfer"};
  }
}

bool IsLocalRefusal(DWORD error) {
  return error == ERROR_WINHTTP_INVALID_URL || error == ERROR_WINHTTP_UNRECOGNIZED_SCHEME ||
         error == ERROR_INVALID_PARAMETER || error == ERROR_WINHTTP_INVALID_OPTION ||
         error == ERROR_WINHTTP_INVALID_HEADER;
}

[[noreturn]] void ThrowWinHttp(DWORD error, int line) {
  if (IsLocalRefusal(error)) throw HttpRequestException("request refused by WinHTTP", ZEP_SOURCE, line);
  const ErrorText e = DescribeError(error);
  if (e.code == ErrCode::OutOfMemory) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, line);
  throw HttpTransportException(e.code, e.text, ZEP_SOURCE, line);
}

// A host name, IPv4 or IPv6 literal: WinHTTP would pass anything else to the resolver.
bool IsSafeHost(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  return std::all_of(host.begin(), host.end(), [](char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '.' ||
           ch == '-' || ch == '_' || ch == ':' || ch == '[' || ch == ']';
  });
}

struct HandleCloser {
  void operator()(void* h) const noexcept {
    if (h != nullptr) WinHttpCloseHandle(h);
  }
};
using UniqueInternet = std::unique_ptr<void, HandleCloser>;

// The certificates of a PEM file in a memory store; null when the file holds none.
HCERTSTORE LoadPemStore(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string pem = text.str();
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) return nullptr;
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at + 1)) {
    const std::size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) break;
    const std::string block = pem.substr(at, end + kEnd.size() - at);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &size, nullptr, nullptr))
      continue;
    std::string der(size, '\0');
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
      continue;
    if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                         reinterpret_cast<const BYTE*>(der.data()), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr))
      ++added;
  }
  if (added == 0) {
    CertCloseStore(store, 0);
    return nullptr;
  }
  return store;
}

// True when `server` chains to a root the system trusts, or to (or is) a
// certificate of `anchors`, with no other fault in the chain.
bool IsTrusted(PCCERT_CONTEXT server, HCERTSTORE anchors) {
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (extra == nullptr) return false;
  CertAddStoreToCollection(extra, anchors, 0, 0);
  if (server->hCertStore != nullptr) CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof(para);
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const BOOL built = CertGetCertificateChain(nullptr, server, nullptr, extra, &para, 0, nullptr, &chain);
  CertCloseStore(extra, 0);
  if (!built || chain == nullptr) return false;
  bool trusted = false;
  const DWORD status = chain->TrustStatus.dwErrorStatus;
  // Revocation cannot be looked up for a private CA; everything else must be clean.
  constexpr DWORD kRevocationUnknown =
      CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  if ((status & ~kRevocationUnknown) == 0) {
    trusted = true;
  } else if ((status & ~(kRevocationUnknown | CERT_TRUST_IS_UNTRUSTED_ROOT)) == 0 && chain->cChain > 0 &&
             chain->rgpChain[0]->cElement > 0) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    for (PCCERT_CONTEXT ca = CertEnumCertificatesInStore(anchors, nullptr); ca != nullptr;
         ca = CertEnumCertificatesInStore(anchors, ca)) {
      if (CertCompareCertificate(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, root->pCertInfo, ca->pCertInfo)) {
        trusted = true;
        CertFreeCertificateContext(ca);
        break;
      }
    }
  }
  CertFreeCertificateChain(chain);
  return trusted;
}

// A DNS name of a certificate against the host, case-insensitively; a leading
// "*." stands for exactly one label.
bool DnsNameMatches(std::wstring_view pattern, std::wstring_view host) {
  auto lower = [](std::wstring_view v) {
    std::wstring out(v);
    for (wchar_t& c : out)
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return out;
  };
  const std::wstring p = lower(pattern), h = lower(host);
  if (p.size() > 2 && p.compare(0, 2, L"*.") == 0) {
    const std::size_t dot = h.find(L'.');
    return dot != std::wstring::npos && dot > 0 && h.compare(dot, std::wstring::npos, p, 1) == 0;
  }
  return !p.empty() && p == h;
}

// The host's address bytes when it is an IPv4 or (bracketed) IPv6 literal, else 0.
std::size_t IpLiteral(const std::string& host, BYTE (&ip)[16]) {
  const std::string bare = http_detail::BareHost(host);
  if (inet_pton(AF_INET, bare.c_str(), ip) == 1) return 4;
  if (inet_pton(AF_INET6, bare.c_str(), ip) == 1) return 16;
  return 0;
}

bool IsIpLiteral(const std::string& host) {
  BYTE ip[16];
  return IpLiteral(host, ip) > 0;
}

// True when the certificate names `host`: an IP literal against the IP address
// entries, a name against the DNS entries; the common name only counts for a
// name when the certificate has no alternative names at all.
bool NamesHost(PCCERT_CONTEXT cert, const std::string& host) {
  BYTE ip[16];
  const std::size_t ipLength = IpLiteral(host, ip);
  const std::wstring wideHost = platform::win32::Widen(host);
  const CERT_INFO* info = cert->pCertInfo;
  const CERT_EXTENSION* ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext != nullptr) {
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
      return false;
    bool match = false;
    for (DWORD i = 0; i < names->cAltEntry && !match; ++i) {
      const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
      if (ipLength > 0 && e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS)
        match = e.IPAddress.cbData == ipLength && std::equal(ip, ip + ipLength, e.IPAddress.pbData);
      else if (ipLength == 0 && e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && e.pwszDNSName != nullptr)
        match = DnsNameMatches(e.pwszDNSName, wideHost);
    }
    LocalFree(names);
    return match;
  }
  if (ipLength > 0) return false;
  wchar_t common[256];
  const DWORD n = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                                     common, static_cast<DWORD>(std::size(common)));
  return n > 1 && DnsNameMatches(std::wstring_view(common, n - 1), wideHost);
}

std::string QueryCustomHeader(HINTERNET request, const wchar_t* name) {
  wchar_t value[256];
  DWORD size = sizeof(value);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, value, &size, WINHTTP_NO_HEADER_INDEX))
    return {};
  return platform::win32::Narrow(std::wstring_view(value, size / sizeof(wchar_t)));
}

}  // namespace

// One request's state, shared with WinHTTP's callback. It lives until both the
// request code and the handle (its closing notification) are done with it, so
// a request given up on interrupt never leaves WinHTTP a dangling pointer.
struct HttpClient::Transfer {
  HINTERNET request = nullptr;
  HANDLE step = nullptr;  // auto-reset: the started step completed or failed
  HANDLE sent = nullptr;  // auto-reset: the request went out (the send step goes on to the answer)
  HCERTSTORE anchors = nullptr;
  std::string host;  // the name the certificate must carry when anchors are set
  std::atomic<int> refs{2};
  std::atomic<bool> closed{false};
  DWORD error = 0;
  DWORD bytesRead = 0;
  bool certRefused = false;
  std::string body;  // a copy: WinHTTP may still read it after an interrupt
  std::unique_ptr<char[]> buffer{new char[kReadChunk]};

  Transfer()
      : step(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        sent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Transfer() {
    if (step != nullptr) CloseHandle(step);
    if (sent != nullptr) CloseHandle(sent);
  }
  void Release() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  // Once only, from whichever side gives up first.
  void Close() {
    if (!closed.exchange(true)) WinHttpCloseHandle(request);
  }

  static void CALLBACK Callback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* t = reinterpret_cast<Transfer*>(context);
    if (t == nullptr) return;
    switch (status) {
      case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
        if (t->anchors != nullptr && !t->CheckServerCertificate()) {
          t->certRefused = true;
          t->Close();
          SetEvent(t->step);
        }
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
        SetEvent(t->sent);
        break;
      case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        SetEvent(t->step);
        break;
      case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        t->bytesRead = length;
        SetEvent(t->step);
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        t->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
        SetEvent(t->step);
        break;
      case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        SetEvent(t->step);  // a step still waited for ends too
        t->Release();
        break;
      default:
        break;
    }
  }

  bool CheckServerCertificate() {
    PCCERT_CONTEXT server = nullptr;
    DWORD size = sizeof(server);
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) || server == nullptr)
      return false;
    const bool ok = IsTrusted(server, anchors) && NamesHost(server, host);
    CertFreeCertificateContext(server);
    return ok;
  }
};

struct HttpClient::Shared {
  UniqueInternet session;
  UniqueInternet connect;
  HCERTSTORE anchors = nullptr;
  ~Shared() {
    connect.reset();
    session.reset();
    if (anchors != nullptr) CertCloseStore(anchors, 0);
  }
};

HttpClient::HandlePair::~HandlePair() = default;

HttpClient::HttpClient(std::string host, uint16_t port, std::string caFile, HttpTimeouts timeouts)
    : host_(std::move(host)),
      port_(port),
      caFile_(std::move(caFile)),
      timeouts_(timeouts),
      userAgent_("vekta/mord/" + ProgramVersion()) {
  LOGD_(this) << "HTTP client connecting to " << host_;
  http_detail::CheckClientTarget(this, host_, port_, caFile_);
  auto shared = std::make_unique<Shared>();
  if (!caFile_.empty()) {
    shared->anchors = LoadPemStore(caFile_);
    if (shared->anchors == nullptr) {
      LOGE_(this) << "HTTP client failed to connect to " << host_ << ": CA file " << caFile_
                  << " holds no certificate";
      throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
    }
  }
  const std::wstring agent = platform::win32::Widen(userAgent_);
  shared->session.reset(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (shared->session) {
    shared->connect.reset(WinHttpConnect(
        shared->session.get(), platform::win32::Widen(http_detail::BareHost(host_)).c_str(), port_, 0));
  }
  if (!shared->connect) {
    const DWORD error = GetLastError();
    LOGE_(this) << "HTTP client failed to connect to " << host_ << ": WinHTTP error " << error;
    throw ErrCodeException(platform::win32::ErrnoFromWin32(error), ZEP_SOURCE, __LINE__);
  }
  shared_ = std::move(shared);
}

HttpClient::~HttpClient() {
  shared_.reset();
}

HttpResponse HttpClient::Request(std::string_view verb, std::string_view path, const void* body,
                                 std::size_t bodyLength, const std::vector<std::string>& extraHeaders) {
  const std::string fullPath = basePath_ + std::string(path);
  LOGD_(this) << verb << " to " << fullPath;
  if (!IsSafePath(fullPath)) throw HttpRequestException("request path is malformed", ZEP_SOURCE, __LINE__);
  if (!IsSafeHost(host_)) throw HttpRequestException("host name is malformed", ZEP_SOURCE, __LINE__);
  if (verb.empty() || verb.find_first_of(" \t\r\n") != std::string_view::npos)
    throw HttpRequestException("request method is malformed", ZEP_SOURCE, __LINE__);
  std::string headers =
      "Content-Type: application/json\r\nAccept: application/json\r\nPragma: no-cache\r\n"
      "Cache-Control: no-cache\r\n";
  for (const std::string& line : extraHeaders) {
    if (!IsSafeHeaderLine(line)) throw HttpRequestException("header line is malformed", ZEP_SOURCE, __LINE__);
    if (!Trim(line).empty()) headers += line + "\r\n";
  }
  if (bodyLength > MAXDWORD) throw HttpRequestException("request body too big", ZEP_SOURCE, __LINE__);
  if (interrupt_ != nullptr && interrupt_->IsSet()) throw InterruptException(ZEP_SOURCE, __LINE__);

  auto* t = new Transfer;
  if (t->step == nullptr || t->sent == nullptr) {
    delete t;
    throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  }
  t->anchors = shared_->anchors;
  t->host = host_;
  if (body != nullptr && bodyLength > 0) t->body.assign(static_cast<const char*>(body), bodyLength);
  const std::wstring wideVerb = platform::win32::Widen(verb);
  const std::wstring widePath = platform::win32::Widen(fullPath);
  t->request = WinHttpOpenRequest(
      shared_->connect.get(), wideVerb.c_str(), widePath.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES,
      WINHTTP_FLAG_SECURE | WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY);
  if (t->request == nullptr) {
    const DWORD error = GetLastError();
    delete t;
    ThrowWinHttp(error, __LINE__);
  }
  // From here on the transfer is freed by its two owners: this call and the handle.
  struct Owner {
    Transfer* t;
    ~Owner() {
      t->Close();
      t->Release();
    }
  } owner{t};

  HttpResponse response;
  DWORD status = 0;
  std::string requestId;
  {
    HINTERNET r = t->request;
    // The context first, so that even a handle closed before sending reports its closing.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(t);
    WinHttpSetOption(r, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    if (WinHttpSetStatusCallback(r, &Transfer::Callback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
      ThrowWinHttp(GetLastError(), __LINE__);
    DWORD disable = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
    bool ok = WinHttpSetOption(r, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable)) &&
              WinHttpSetTimeouts(
                  r, static_cast<int>(timeouts_.resolve.count()), static_cast<int>(timeouts_.connect.count()),
                  static_cast<int>(timeouts_.send.count()), static_cast<int>(timeouts_.receive.count()));
    if (ok && t->anchors != nullptr) {
      // The root (and for an IP literal the name) is checked against the CA file once the
      // connection is up (Callback); a DNS name stays WinHTTP's check as well.
      DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      if (IsIpLiteral(host_)) flags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
      ok = WinHttpSetOption(r, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    }
    if (!ok) ThrowWinHttp(GetLastError(), __LINE__);

    // Starts one step and waits for its completion, the interrupt or the step's time limit. The
    // limit is kept here as well as by WinHTTP, whose own receive limit does not end every
    // asynchronous step: Wine completes the send only once the answer's headers are in, so once
    // the request is out the send step's limit becomes `afterSent`.
    auto run = [&](auto start, std::chrono::milliseconds limit, std::chrono::milliseconds afterSent,
                   int line) {
      t->error = 0;
      ResetEvent(t->sent);
      if (!start()) ThrowWinHttp(GetLastError(), line);
      HANDLE waits[3] = {t->step, t->sent,
                         interrupt_ != nullptr ? platform::win32::ToHandle(interrupt_->fd()) : nullptr};
      const DWORD n = interrupt_ != nullptr ? 3 : 2;
      auto deadline = std::chrono::steady_clock::now() + limit;
      DWORD rc;
      for (;;) {
        DWORD wait = INFINITE;
        if (limit.count() > 0) {
          const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
              deadline - std::chrono::steady_clock::now());
          wait = static_cast<DWORD>(std::max<int64_t>(left.count(), 0));
        }
        rc = WaitForMultipleObjects(n, waits, FALSE, wait);
        if (rc != WAIT_OBJECT_0 + 1) break;
        if (afterSent.count() > 0) deadline = std::chrono::steady_clock::now() + afterSent;
      }
      if (rc == WAIT_OBJECT_0 + 2 || (interrupt_ != nullptr && interrupt_->IsSet()))
        throw InterruptException(ZEP_SOURCE, line);
      if (rc == WAIT_TIMEOUT) ThrowWinHttp(ERROR_WINHTTP_TIMEOUT, line);
      if (rc != WAIT_OBJECT_0) ThrowWinHttp(GetLastError(), line);
      if (t->certRefused) {
        LOGE_(this) << "HTTP client refused the certificate of " << host_;
        throw HttpTransportException(EPROTO, "SSL peer certificate was not trusted", ZEP_SOURCE, line);
      }
      if (t->error != 0) ThrowWinHttp(t->error, line);
    };
    const std::wstring wideHeaders = platform::win32::Widen(headers);
    const DWORD length = static_cast<DWORD>(t->body.size());
    run(
        [&] {
          return WinHttpSendRequest(r, wideHeaders.c_str(), static_cast<DWORD>(-1L),
                                    t->body.empty() ? WINHTTP_NO_REQUEST_DATA : t->body.data(), length,
                                    length, reinterpret_cast<DWORD_PTR>(t));
        },
        timeouts_.resolve + timeouts_.connect + timeouts_.send, timeouts_.receive, __LINE__);
    run([&] { return WinHttpReceiveResponse(r, nullptr); }, timeouts_.receive, {}, __LINE__);
    DWORD size = sizeof(status);
    WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    requestId = QueryCustomHeader(r, L"X-Request-ID");
    if (requestId.size() > kMaxRequestIdLength) requestId.clear();
    for (;;) {
      t->bytesRead = 0;
      run([&] { return WinHttpReadData(r, t->buffer.get(), kReadChunk, nullptr); }, timeouts_.receive, {},
          __LINE__);
      if (t->bytesRead == 0) break;
      switch (response.Append(t->buffer.get(), t->bytesRead)) {
        case HttpResponse::AppendResult::kOk:
          continue;
        case HttpResponse::AppendResult::kTooBig:
          LOGE_(this) << "Http response too big";
          throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
        case HttpResponse::AppendResult::kOutOfMemory:
          throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
      }
    }
  }

  http_detail::LogAnswer(this, static_cast<long>(status), requestId, response);
  return http_detail::ByStatus(static_cast<long>(status), std::move(response));
}
