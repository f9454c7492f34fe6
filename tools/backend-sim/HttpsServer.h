#pragma once
// A small HTTP/1.1 server over TLS for the reference back-end. It keeps every
// request exactly as it arrived (the target as sent, header names and values
// byte for byte, empty values included) so that the request log shows what a
// client really sent. One thread per connection; keep-alive; bodies by
// Content-Length only.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct RawRequest {
  std::string method;
  std::string target;  // as sent: path and query, not decoded
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

struct RawResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type and Content-Length
  std::string body;
  std::string contentType = "application/json";
};

class HttpsServer {
 public:
  using Handler = std::function<RawResponse(const RawRequest&)>;

  // Takes references to the certificate and key; throws std::runtime_error.
  HttpsServer(X509* cert, EVP_PKEY* key);
  ~HttpsServer();
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // Binds and listens; port 0 picks a free one. Returns the bound port.
  uint16_t Listen(const std::string& host, uint16_t port);
  // Serves until Stop(); every request goes to `handler` on its connection's thread.
  void Serve(Handler handler);
  // Safe from any thread and from handlers; wakes Serve and every connection.
  void Stop();
  // Sleeps up to `ms`; returns early (false) once the server stops.
  bool Sleep(int ms);

 private:
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void RunConnection(Connection& connection);
  void Reap(bool all);

  void* ctx_ = nullptr;  // SSL_CTX
  int listenFd_ = -1;
  int wakeFd_ = -1;  // eventfd, signalled by Stop
  std::atomic<bool> stopping_{false};
  Handler handler_;

  std::mutex mutex_;  // guards connections_ and the fds in them
  std::condition_variable stopped_;
  std::list<Connection> connections_;
};
