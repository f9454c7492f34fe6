#include "zeps/BrowserLink.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <vector>

#include "mord/services/WordPressClient.h"
#include "platform/LocalIpc.h"
#include "platform/PollNow.h"
#include "platform/Socket.h"
#include "platform/Wait.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"
#include "zeps/TlsParser.h"

namespace {

constexpr std::size_t kTokenLength = 36;
constexpr std::size_t kIdLength = 36;
constexpr std::size_t kSchemeChars = 6;
constexpr int kHelloTimeMs = 1000;
constexpr int kListenBacklog = 32;
constexpr int kPortTakenRetryMs = 5000;
// With the listening socket and the stop event, every pending hello fits into one wait.
constexpr std::size_t kMaxPendingHellos = platform::kMaxWaitObjects - 4;
// A hello may be spread over many records; more than twice its own limit is no browser's.
constexpr std::size_t kMaxHelloBytes = 2 * TlsParser::kMaxHelloLength;
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

namespace {

// A connection whose hello is still coming. Its bytes are kept and parsed again as more arrive
// (a hello is a few hundred bytes), each connection with its own deadline.
struct PendingHello {
  platform::UniqueFd fd;
  int64_t deadlineMs = 0;
  std::vector<uint8_t> bytes;
};

enum class HelloState { Incomplete, Done, Failed };

// Takes what the connection has; Done with the server name once the whole hello is there.
HelloState ReadMore(PendingHello& p, std::string& name) {
  uint8_t buffer[4096];
  bool ended = false;
  for (;;) {
    std::size_t got = 0;
    const int e = platform::ReceiveSome(p.fd.Get(), buffer, sizeof buffer, nullptr, 0, got);
    if (e == platform::kSocketTimedOut) break;
    if (e == platform::kSocketEndOfStream) {
      ended = true;
      break;
    }
    if (e != 0) throw ReceiveStructException(e, ZEP_SOURCE, __LINE__);
    p.bytes.insert(p.bytes.end(), buffer, buffer + got);
    if (p.bytes.size() > kMaxHelloBytes)
      throw TlsParseException("Oversized ClientHello", ZEP_SOURCE, __LINE__);
  }
  try {
    name = TlsParser::ParseServerName(p.bytes.data(), p.bytes.size());
    return HelloState::Done;
  } catch (const ReceiveStructException&) {
    // Not all of it yet.
    if (ended) throw ReceiveStructException(ENOTCONN, ZEP_SOURCE, __LINE__);
    return HelloState::Incomplete;
  }
}

void Drop(PendingHello& p) {
  platform::ShutdownBoth(p.fd.Get());
  p.fd.Reset();
}

}  // namespace

void TlsListenThreadProc(uint16_t port, CommandHandlers& handlers, platform::Event& stop) {
  const std::string service = std::to_string(port);
  platform::UniqueFd listening;
  std::vector<PendingHello> pending;  // oldest first
  LastCommand lastStart;
  LastCommand lastCheck;
  bool portTaken = false;
  while (!stop.IsSet()) {
    if (!listening.Valid()) {
      // Only loopback: nothing else on the network may drive the service.
      const int e = platform::ListenTcp("127.0.0.1", service.c_str(), kListenBacklog, listening);
      if (e == EADDRINUSE) {
        // The port is one per machine, this service one per user: another user's zeps (or any
        // other program) may hold it. Said once; the URL link works all the same.
        if (!portTaken)
          LOGW << "Browser link: port " << port
               << " on 127.0.0.1 is in use by another program (another user's zeps?); web pages reach "
                  "this service through vekta: links only, until the port is free";
        portTaken = true;
        if (platform::WaitAny({&stop}, kPortTakenRetryMs) == 0) return;
        continue;
      }
      if (e == 0 && portTaken) {
        LOGI << "Browser link: port " << port << " is free again and ours";
        portTaken = false;
      }
      if (e != 0) {
        // The listening socket itself failed: a new one after a second.
        LOGD << "Browser closed connection: " << TransportException(e, ZEP_SOURCE, __LINE__).what();
        listening.Reset();
        if (platform::WaitAny({&stop}, 1000) == 0) return;
        continue;
      }
    }
    // One wait over the listening socket and every pending hello, each with its own second, so
    // that silent connections cannot delay a browser's hello behind them.
    std::vector<platform::PollFd> fds = {{listening.Get(), platform::kWaitReadable}};
    int64_t now = NowMs();
    int64_t waitMs = -1;
    for (const PendingHello& p : pending) {
      fds.push_back({p.fd.Get(), platform::kWaitReadable});
      const int64_t left = std::max<int64_t>(0, p.deadlineMs - now);
      waitMs = waitMs < 0 ? left : std::min(waitMs, left);
    }
    platform::Waitable* objects[] = {&stop};
    const int r = platform::WaitAnyFd(fds, objects, static_cast<int>(waitMs));
    if (r == static_cast<int>(fds.size())) return;
    const std::vector<platform::Readiness> ready =
        r == platform::kWaitTimeout ? std::vector<platform::Readiness>(fds.size()) : platform::PollNow(fds);
    now = NowMs();
    for (std::size_t i = 0; i < pending.size(); ++i) {
      PendingHello& p = pending[i];
      const platform::Readiness& ev = ready[i + 1];
      try {
        std::string name;
        if ((ev.readable || ev.failed) && ReadMore(p, name) == HelloState::Done) {
          Drop(p);
          RunTlsCommand(name, handlers, lastStart, lastCheck);
        } else if (now >= p.deadlineMs) {
          throw ReceiveStructException(ETIMEDOUT, ZEP_SOURCE, __LINE__);
        }
      } catch (const InterruptException&) {
        return;
      } catch (const std::exception& e) {
        // Only this connection is lost.
        LOGD << "Browser closed connection: " << e.what();
        if (p.fd.Valid()) Drop(p);
      }
    }
    std::erase_if(pending, [](const PendingHello& p) { return !p.fd.Valid(); });
    if (!ready[0].readable && !ready[0].failed) continue;
    for (;;) {
      platform::UniqueFd accepted;
      platform::Ipv4Endpoint peer;
      const int e = platform::Accept(listening.Get(), accepted, peer);
      if (e == EAGAIN || e == EWOULDBLOCK) break;
      if (e == ECONNABORTED || e == EINTR) continue;
      if (e != 0) {
        LOGD << "Browser closed connection: " << TransportException(e, ZEP_SOURCE, __LINE__).what();
        listening.Reset();
        pending.clear();
        break;
      }
      // A newcomer is never refused: past the cap the oldest, closest to its deadline, goes.
      if (pending.size() >= kMaxPendingHellos) {
        LOGD << "Browser closed connection: too many connections without a hello";
        Drop(pending.front());
        pending.erase(pending.begin());
      }
      pending.push_back({std::move(accepted), NowMs() + kHelloTimeMs, {}});
    }
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
