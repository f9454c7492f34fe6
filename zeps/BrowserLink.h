#pragma once
// The browser's two ways in: the command carried as the server name of a TLS ClientHello on
// a loopback port, and the URL the desktop hands to a second `zeps` that forwards it here.
#include <cstdint>
#include <string>
#include <string_view>

#include "zeps/ServiceState.h"

class WordPressClient;

enum class CommandKind { None, Check, Start, Connect };

struct BrowserCommand {
  CommandKind kind = CommandKind::None;
  std::string proxyToken;
  std::string sessionId;
  uint8_t startFlag = 0;
};

// "check" + separator + token(36); "start" or "connect" + separator + token(36) + separator +
// session id(36) + flag ('1' gives 1). Separators are never compared; shorter fields are
// taken as they are. A text too short to reach the token (check) or the session id (start,
// connect) throws BaseException "Command text too short"; an unknown text is kind None.
BrowserCommand ParseCommand(std::string_view text);

// The command handlers, shared by both ways in.
class CommandHandlers {
 public:
  CommandHandlers(WordPressClient& settings, StartRequests& starts) : settings_(settings), starts_(starts) {}
  // Reports the client online; a start or connect then becomes the workflow's request unless
  // a run is in progress.
  void Run(const BrowserCommand& command);

 private:
  WordPressClient& settings_;
  StartRequests& starts_;
};

// URL messages between instances: UTF-16LE, no terminator, at most 512 characters.
constexpr std::size_t kUrlMessageBytes = 1024;
std::string EncodeUrlMessage(std::string_view utf8Url);
std::string DecodeUrlMessage(std::string_view message);

// One forwarded URL: the first six characters (the scheme) are skipped and the rest runs as a
// command. Failures are logged and dropped.
void ProcessUrl(const std::string& message, CommandHandlers& handlers);

// The TLS side: accepts connections on 127.0.0.1:port until `stop`, reads each ClientHello
// (the whole hello within 1000 ms) and runs the command in its server name. A malformed,
// silent or short connection only ends that connection.
void TlsListenThreadProc(uint16_t port, CommandHandlers& handlers, platform::Event& stop);

// The URL side: one message per connection on the socket at `path` until `stop`.
void IncomingMessagesThreadProc(const std::string& path, CommandHandlers& handlers, platform::Event& stop);
