#include "tools/backend-sim/HttpsServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = 64 * 1024 * 1024;
constexpr std::size_t kMaxConnections = 256;
constexpr int kIdleTimeoutMs = 30000;  // an idle keep-alive connection is closed after this

std::string OpenSslError(const char* what) {
  char text[256] = {0};
  ERR_error_string_n(ERR_get_error(), text, sizeof(text));
  return std::string(what) + ": " + text;
}

const char* Reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Status";
  }
}

bool EqualsNoCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string TrimOws(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// One TLS connection with a read buffer; every wait also watches the stop fd.
class Tls {
 public:
  Tls(SSL* ssl, int fd, int wakeFd) : ssl_(ssl), fd_(fd), wakeFd_(wakeFd) {}

  // Waits until the socket is ready in `events` or fails (stop, time-out).
  bool Wait(short events, int timeoutMs) {
    pollfd fds[2] = {{fd_, events, 0}, {wakeFd_, POLLIN, 0}};
    const int n = poll(fds, 2, timeoutMs);
    return n > 0 && fds[1].revents == 0;
  }

  bool Handshake() {
    for (;;) {
      const int rc = SSL_accept(ssl_);
      if (rc == 1) return true;
      const int err = SSL_get_error(ssl_, rc);
      if (err == SSL_ERROR_WANT_READ && Wait(POLLIN, kIdleTimeoutMs)) continue;
      if (err == SSL_ERROR_WANT_WRITE && Wait(POLLOUT, kIdleTimeoutMs)) continue;
      return false;
    }
  }

  // Appends what arrives to buf_; false on close, error, stop or idle time-out.
  bool Fill() {
    char chunk[16384];
    for (;;) {
      const int n = SSL_read(ssl_, chunk, sizeof(chunk));
      if (n > 0) {
        buf_.append(chunk, static_cast<std::size_t>(n));
        return true;
      }
      const int err = SSL_get_error(ssl_, n);
      if (err == SSL_ERROR_WANT_READ && Wait(POLLIN, kIdleTimeoutMs)) continue;
      if (err == SSL_ERROR_WANT_WRITE && Wait(POLLOUT, kIdleTimeoutMs)) continue;
      return false;
    }
  }

  bool Write(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      const int n = SSL_write(ssl_, data.data() + sent, static_cast<int>(data.size() - sent));
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      const int err = SSL_get_error(ssl_, n);
      if (err == SSL_ERROR_WANT_READ && Wait(POLLIN, kIdleTimeoutMs)) continue;
      if (err == SSL_ERROR_WANT_WRITE && Wait(POLLOUT, kIdleTimeoutMs)) continue;
      return false;
    }
    return true;
  }

  std::string& Buffer() { return buf_; }

 private:
  SSL* ssl_;
  int fd_;
  int wakeFd_;
  std::string buf_;
};

std::string StatusOnly(int status, const char* text) {
  const std::string body = std::string("{\"error\": \"") + text + "\"}";
  return "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

HttpsServer::HttpsServer(X509* cert, EVP_PKEY* key) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) throw std::runtime_error(OpenSslError("SSL_CTX_new"));
  ctx_ = ctx;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (SSL_CTX_use_certificate(ctx, cert) != 1) throw std::runtime_error(OpenSslError("certificate"));
  if (SSL_CTX_use_PrivateKey(ctx, key) != 1 || SSL_CTX_check_private_key(ctx) != 1)
    throw std::runtime_error(OpenSslError("private key"));
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

HttpsServer::~HttpsServer() {
  Stop();
  Reap(true);
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

uint16_t HttpsServer::Listen(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr)
    throw std::runtime_error("cannot resolve " + host);
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(list, &freeaddrinfo);
  const int fd = socket(list->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, list->ai_addr, list->ai_addrlen) != 0 || listen(fd, 128) != 0) {
    const int err = errno;
    close(fd);
    throw std::runtime_error(std::string("bind: ") + std::strerror(err));
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof(bound);
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  listenFd_ = fd;
  if (bound.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void HttpsServer::Stop() {
  if (stopping_.exchange(true)) return;
  const uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof(one));
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_.notify_all();
}

bool HttpsServer::Sleep(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

void HttpsServer::Reap(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (Connection& c : finished)
    if (c.thread.joinable()) c.thread.join();
}

void HttpsServer::Serve(Handler handler) {
  handler_ = std::move(handler);
  while (!stopping_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
    Reap(false);
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_.size() >= kMaxConnections) {
      close(fd);
      continue;
    }
    Connection& c = connections_.emplace_back();
    c.fd = fd;
    c.thread = std::thread([this, &c] { RunConnection(c); });
  }
  Stop();
  Reap(true);
}

void HttpsServer::RunConnection(Connection& connection) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
  if (ssl != nullptr && SSL_set_fd(ssl, connection.fd) == 1) {
    Tls tls(ssl, connection.fd, wakeFd_);
    if (tls.Handshake()) {
      bool keepAlive = true;
      while (keepAlive && !stopping_) {
        std::string& buf = tls.Buffer();
        std::size_t end;
        while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
          if (buf.size() > kMaxHeaderBytes) {
            tls.Write(StatusOnly(431, "header section too large"));
            keepAlive = false;
            break;
          }
          if (!tls.Fill()) {
            keepAlive = false;
            break;
          }
        }
        if (!keepAlive) break;

        RawRequest request;
        const std::string head = buf.substr(0, end);
        buf.erase(0, end + 4);
        std::size_t lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const std::size_t sp1 = requestLine.find(' ');
        const std::size_t sp2 = requestLine.rfind(' ');
        if (sp1 == std::string::npos || sp2 == sp1) {
          tls.Write(StatusOnly(400, "bad request line"));
          break;
        }
        request.method = requestLine.substr(0, sp1);
        request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        const std::string version = requestLine.substr(sp2 + 1);
        bool badHeader = false;
        while (lineEnd != std::string::npos) {
          const std::size_t start = lineEnd + 2;
          lineEnd = head.find("\r\n", start);
          const std::string line =
              head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
          const std::size_t colon = line.find(':');
          if (colon == std::string::npos || colon == 0) {
            badHeader = true;
            break;
          }
          request.headers.emplace_back(line.substr(0, colon), TrimOws(line.substr(colon + 1)));
        }
        if (badHeader) {
          tls.Write(StatusOnly(400, "bad header line"));
          break;
        }

        std::size_t length = 0;
        bool expectContinue = false;
        keepAlive = version == "HTTP/1.1";
        bool refused = false;
        for (const auto& [name, value] : request.headers) {
          if (EqualsNoCase(name, "Content-Length")) {
            char* stop = nullptr;
            const unsigned long long n = std::strtoull(value.c_str(), &stop, 10);
            if (value.empty() || *stop != '\0' || n > kMaxBodyBytes) {
              tls.Write(StatusOnly(413, "bad or too large Content-Length"));
              refused = true;
            }
            length = static_cast<std::size_t>(n);
          } else if (EqualsNoCase(name, "Transfer-Encoding")) {
            tls.Write(StatusOnly(411, "only Content-Length bodies are read"));
            refused = true;
          } else if (EqualsNoCase(name, "Connection")) {
            if (EqualsNoCase(value, "close")) keepAlive = false;
            if (EqualsNoCase(value, "keep-alive")) keepAlive = true;
          } else if (EqualsNoCase(name, "Expect")) {
            expectContinue = EqualsNoCase(value, "100-continue");
          }
          if (refused) break;
        }
        if (refused) break;
        if (expectContinue && length > buf.size() && !tls.Write("HTTP/1.1 100 Continue\r\n\r\n")) break;
        bool complete = true;
        while (buf.size() < length) {
          if (!tls.Fill()) {
            complete = false;
            break;
          }
        }
        if (!complete) break;
        request.body = buf.substr(0, length);
        buf.erase(0, length);

        RawResponse response = handler_(request);
        const bool noBody = response.status == 204 || response.status == 304 || response.status < 200;
        std::string out =
            "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
        if (!noBody) {
          out += "Content-Type: " + response.contentType + "\r\n";
          out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
        }
        out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        if (!noBody && request.method != "HEAD") out += response.body;
        if (!tls.Write(out)) break;
      }
      SSL_shutdown(ssl);
    }
  }
  if (ssl != nullptr) SSL_free(ssl);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    close(connection.fd);
    connection.fd = -1;
  }
  connection.done = true;
}
