#pragma once
// One HTTPS client per back-end service: host, port and base path are fixed at
// start-up and every request goes to https://host:port + base path + path.
// A client may be used by several threads at once; each request in flight has
// its own libcurl easy handle (on Windows its own WinHTTP request handle). An optional interrupt event ends a running
// request: Request then throws InterruptException.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sov/base/BaseException.h"

namespace platform {
class Event;
}

// A transport failure (name resolution, connect, TLS, send, receive, time-out).
// The code is the nearest errno value; the message is libcurl's static text.
class HttpTransportException : public ErrCodeException {
 public:
  HttpTransportException(int32_t code, const char* message, const char* source, int line) noexcept
      : ErrCodeException(code, message, source, line) {}
};

// A request refused here before anything was sent: a malformed URL or path
// value, an option libcurl does not take. Sending it again cannot help, so it
// is never retried. The code is E_INVALIDARG; the message says what was wrong.
class HttpRequestException : public ErrCodeException {
 public:
  HttpRequestException(const char* message, const char* source, int line) noexcept
      : ErrCodeException(ErrCode::InvalidArg, message, source, line) {}
};

struct HttpTimeouts {
  std::chrono::milliseconds resolve{30000};
  std::chrono::milliseconds connect{60000};
  // Longest time without any byte moving while sending or receiving.
  std::chrono::milliseconds send{60000};
  std::chrono::milliseconds receive{60000};
};

// The response body in one malloc'ed block that always ends with a zero byte
// not counted in Size().
class HttpResponse {
 public:
  // The first block; a body that does not fit is moved once into a block of kMaxCapacity.
  static constexpr std::size_t kInitialCapacity = 0x10000;
  static constexpr std::size_t kMaxCapacity = 0x28000000;

  HttpResponse();  // allocates kInitialCapacity; throws ErrCodeException ErrCode::OutOfMemory
  HttpResponse(HttpResponse&&) noexcept = default;
  HttpResponse& operator=(HttpResponse&&) noexcept = default;

  const char* Data() const { return data_.get(); }
  std::size_t Size() const { return size_; }
  std::size_t Capacity() const { return capacity_; }
  std::string_view View() const { return {data_.get(), size_}; }
  std::string Text() const { return std::string(View()); }

  enum class AppendResult { kOk, kTooBig, kOutOfMemory };
  // Appends n bytes; nothing is appended when the body would exceed
  // kMaxCapacity or the larger block cannot be had. Never throws, so that it
  // can run inside libcurl's callbacks.
  AppendResult Append(const char* bytes, std::size_t n) noexcept;

 private:
  struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char, FreeDeleter> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// "major.minor.patch.build" of the running program, made once.
const std::string& ProgramVersion();

class HttpClient {
 public:
  // caFile: an extra PEM trust anchor (e.g. a test back-end's certificate);
  // empty uses the system store only. Certificate and host checks are always on.
  HttpClient(std::string host, uint16_t port, std::string caFile = {}, HttpTimeouts timeouts = {});
  virtual ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Set by the owner right after construction, before any request.
  void SetBasePath(std::string basePath) { basePath_ = std::move(basePath); }
  // A manual-reset event that ends running requests and retry pauses once set;
  // null: none. Set right after construction; it must outlive the client.
  void SetInterrupt(platform::Event* interrupt) { interrupt_ = interrupt; }
  platform::Event* Interrupt() const { return interrupt_; }
  const std::string& BasePath() const { return basePath_; }
  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }
  const std::string& UserAgent() const { return userAgent_; }

  // One request; path may carry a query string, sent as given. extraHeaders are
  // complete "Name: value" lines. Status 401 throws HttpNotAuthorizedException,
  // other 4xx HttpClient4xxException, 5xx HttpServer5xxException; everything
  // below 400 is success. Transport failures throw HttpTransportException, a
  // request refused before sending (a path with "..", spaces or control bytes,
  // a URL libcurl rejects) HttpRequestException, a set interrupt event
  // InterruptException.
  HttpResponse Request(std::string_view verb, std::string_view path, const void* body, std::size_t bodyLength,
                       const std::vector<std::string>& extraHeaders = {});

 private:
  struct Shared;
  // An easy handle with the multi handle that drives it, so that a transfer
  // can wait on the interrupt event beside its sockets. The multi handle keeps
  // the connections alive between requests.
  struct Transfer;
  struct HandlePair {
    void* multi = nullptr;
    void* easy = nullptr;
    HandlePair() = default;
    HandlePair(const HandlePair&) = delete;
    HandlePair& operator=(const HandlePair&) = delete;
    ~HandlePair();
  };
  using Handle = std::unique_ptr<HandlePair>;

  Handle TakeHandle();
  void ReturnHandle(Handle handle);
  // Performs the transfer and reads the body; status gets the HTTP status.
  HttpResponse ReadResponse(HandlePair& handle, long& status);

  std::string host_;
  uint16_t port_;
  std::string caFile_;
  HttpTimeouts timeouts_;
  std::string basePath_;
  std::string userAgent_;
  platform::Event* interrupt_ = nullptr;
  const bool secure_ = true;        // every request is HTTPS
  std::unique_ptr<Shared> shared_;  // share handle (DNS, TLS sessions) and its locks

  // Idle handles keep their connections alive between requests. libcurl's
  // shared connection cache is not safe across threads, so handles are pooled instead.
  std::mutex poolMutex_;
  std::vector<Handle> idle_;  // guarded by poolMutex_
};
