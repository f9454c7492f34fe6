#include "zeps/BrowserLink.h"

#include <cerrno>
#include <chrono>
#include <memory>

#include "mord/services/WordPressClient.h"
#include "platform/LocalIpc.h"
#include "platform/Wait.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"
#include "sov/net/TransportListener.h"
#include "zeps/TlsParser.h"

namespace {

constexpr std::size_t kTokenLength = 36;
constexpr std::size_t kIdLength = 36;
constexpr std::size_t kSchemeChars = 6;
constexpr int kHelloTimeMs = 1000;
constexpr int64_t kRepeatWindowMs = 1000;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "start" and "connect" differ only in where their fields sit.
BrowserCommand ParseSessionCommand(CommandKind kind, std::string_view text, std::size_t tokenAt) {
  const std::size_t idAt = tokenAt + kTokenLength + 1;
  if (text.size() < idAt) throw BaseException("Command text too short", ZEP_SOURCE, __LINE__);
  BrowserCommand c;
  c.kind = kind;
  c.proxyToken = std::string(text.substr(tokenAt, kTokenLength));
  c.sessionId = std::string(text.substr(idAt, kIdLength));
  const std::size_t flagAt = idAt + kIdLength;
  c.startFlag = text.size() > flagAt && text[flagAt] == '1' ? 1 : 0;
  return c;
}

// The connection's bytes, with one deadline for the whole hello: a browser sends it at once,
// and a peer that trickles bytes must not hold the listener.
class HelloSource : public ByteSource {
 public:
  HelloSource(int fd, platform::Event& stop) : fd_(fd), stop_(stop), deadline_(NowMs() + kHelloTimeMs) {}

  void Read(void* destination, std::size_t length) override {
    auto* p = static_cast<uint8_t*>(destination);
    while (length > 0) {
      const int64_t left = deadline_ - NowMs();
      if (left <= 0) throw ReceiveStructException(ETIMEDOUT, ZEP_SOURCE, __LINE__);
      const platform::PollFd fds[] = {{fd_, platform::kWaitReadable}};
      platform::Waitable* objects[] = {&stop_};
      const int r = platform::WaitAnyFd(fds, objects, static_cast<int>(left));
      if (r == 1) throw InterruptException(ZEP_SOURCE, __LINE__);
      if (r == platform::kWaitTimeout) throw ReceiveStructException(ETIMEDOUT, ZEP_SOURCE, __LINE__);
      bool ended = false;
      const long n = platform::ReadSome(fd_, p, length, 0, &ended);
      if (n < 0 || ended) throw ReceiveStructException(n < 0 ? errno : ENOTCONN, ZEP_SOURCE, __LINE__);
      p += n;
      length -= static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
  platform::Event& stop_;
  int64_t deadline_;
};

// The same command text again within a second is a repeat of the browser's, not a new request.
struct LastCommand {
  std::string text;
  int64_t atMs = 0;

  bool IsRepeat(const std::string& t, int64_t now) const {
    return t == text && now - atMs <= kRepeatWindowMs;
  }
};

void RunTlsCommand(const std::string& name, CommandHandlers& handlers, LastCommand& lastStart,
                   LastCommand& lastCheck) {
  const bool isStart = StartsWith(name, "start") || StartsWith(name, "connect");
  const bool isCheck = StartsWith(name, "check");
  if (!isStart && !isCheck) return;
  LastCommand& last = isStart ? lastStart : lastCheck;
  if (last.IsRepeat(name, NowMs())) return;
  handlers.Run(ParseCommand(name));
  last = {name, NowMs()};
}

}  // namespace

BrowserCommand ParseCommand(std::string_view text) {
  if (StartsWith(text, "check")) {
    if (text.size() < 6) throw BaseException("Command text too short", ZEP_SOURCE, __LINE__);
    BrowserCommand c;
    c.kind = CommandKind::Check;
    c.proxyToken = std::string(text.substr(6, kTokenLength));
    return c;
  }
  if (StartsWith(text, "start")) return ParseSessionCommand(CommandKind::Start, text, 6);
  if (StartsWith(text, "connect")) return ParseSessionCommand(CommandKind::Connect, text, 8);
  return {};
}

void CommandHandlers::Run(const BrowserCommand& command) {
  if (command.kind == CommandKind::None) return;
  settings_.SetClientOnline(command.proxyToken);
  if (command.kind == CommandKind::Check) return;
  if (!starts_.TryStart({command.proxyToken, command.sessionId, command.startFlag}))
    LOGI << "A session run is in progress; the start request is not queued";
}

std::string EncodeUrlMessage(std::string_view utf8Url) {
  std::string out;
  std::size_t i = 0;
  while (i < utf8Url.size() && out.size() < kUrlMessageBytes) {
    char32_t c = text::DecodeUtf8(utf8Url, i);
    auto put = [&out](char32_t unit) {
      out.push_back(static_cast<char>(unit & 0xFF));
      out.push_back(static_cast<char>((unit >> 8) & 0xFF));
    };
    if (c >= 0x10000) {
      // A pair that would not fit whole is left out rather than cut in half.
      if (out.size() + 4 > kUrlMessageBytes) break;
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

std::string DecodeUrlMessage(std::string_view message) {
  std::string out;
  const std::size_t units = message.size() / 2;
  auto unit = [&message](std::size_t k) {
    return static_cast<char32_t>(static_cast<uint8_t>(message[2 * k]) |
                                 (static_cast<uint8_t>(message[2 * k + 1]) << 8));
  };
  for (std::size_t k = 0; k < units; ++k) {
    char32_t c = unit(k);
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(k + 1) - 0xDC00);
      ++k;
    }
    text::AppendUtf8(out, c);  // a lone surrogate becomes U+FFFD
  }
  return out;
}

void ProcessUrl(const std::string& message, CommandHandlers& handlers) {
  try {
    if (message.size() < 2) return;
    const std::string url = DecodeUrlMessage(message);
    std::size_t i = 0;
    for (std::size_t skipped = 0; skipped < kSchemeChars; ++skipped) {
      if (i >= url.size()) throw BaseException("URL shorter than its scheme", ZEP_SOURCE, __LINE__);
      text::DecodeUtf8(url, i);
    }
    handlers.Run(ParseCommand(std::string_view(url).substr(i)));
  } catch (const std::exception& e) {
    LOGE << "ProcessUrl"
         << ": unhandled exception: " << e.what();
  }
}

void TlsListenThreadProc(uint16_t port, CommandHandlers& handlers, platform::Event& stop) {
  const std::string service = std::to_string(port);
  std::unique_ptr<TransportListener> listener;
  LastCommand lastStart;
  LastCommand lastCheck;
  while (!stop.IsSet()) {
    try {
      // Only loopback: nothing else on the network may drive the service.
      if (!listener) listener = std::make_unique<TransportListener>("127.0.0.1", service.c_str(), 1, &stop);
      listener->StartAcceptConnections();
      if (!listener->WaitForConnection(-1)) continue;
    } catch (const InterruptException&) {
      return;
    } catch (const BaseException& e) {
      // The listening socket itself failed: a new one after a second.
      LOGD << "Browser closed connection: " << e.what();
      listener.reset();
      platform::WaitAny({&stop}, 1000);
      continue;
    }
    const uint32_t slot = listener->Current();
    try {
      listener->SetReceiveTimeout(kHelloTimeMs);
      HelloSource source(listener->Socket(slot), stop);
      RunTlsCommand(TlsParser::ReadServerName(source), handlers, lastStart, lastCheck);
    } catch (const InterruptException&) {
      return;
    } catch (const std::exception& e) {
      // Only this connection is lost; the listener keeps what waits in its backlog.
      LOGD << "Browser closed connection: " << e.what();
    }
    listener->CloseSocket(slot, TransportBase::kForcedClose);
  }
}

void IncomingMessagesThreadProc(const std::string& path, CommandHandlers& handlers, platform::Event& stop) {
  platform::MessageServer server(path);
  for (;;) {
    const int fds[] = {server.fd()};
    platform::Waitable* objects[] = {&stop};
    if (platform::WaitAnyFd(fds, objects, platform::kInfinite) != 0) return;
    if (auto message = server.ReceiveOne(kUrlMessageBytes, kHelloTimeMs, &stop))
      ProcessUrl(*message, handlers);
  }
}
