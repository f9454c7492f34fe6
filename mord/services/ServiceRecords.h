#pragma once
// Typed request bodies and response records of the back-end services. A
// response record parses its document once and checks its shape at
// construction: a root of the wrong kind is ErrCodeException E_INVALIDARG, a
// required member that is missing or mistyped is BaseException "no such key in
// json object".
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mord/json/Json.h"
#include "sov/base/BaseException.h"

// One station endpoint of a session, as the workflow uses it.
struct EndpointEntry {
  static constexpr int32_t kDefaultBasePort = 7985;

  int32_t basePort = kDefaultBasePort;
  std::string uuid;
  std::string serverId;
  std::string ip;
  std::string city;
  int64_t priority = 0;
};

// One endpoint object inside an endpoints answer (refers into that document).
class Endpoint : public JsonObject {
 public:
  explicit Endpoint(const Json::Value* value);
  const EndpointEntry& Entry() const { return entry_; }

 private:
  EndpointEntry entry_;
};

class Endpoints : public JsonObject {
 public:
  explicit Endpoints(std::string text);
  const std::string& Status() const { return *status_; }
  const std::vector<EndpointEntry>& List() const { return endpoints_; }

 private:
  const std::string* status_;
  std::vector<EndpointEntry> endpoints_;
};

class Sessions : public JsonObject {
 public:
  // "sessions" must be an array (else E_INVALIDARG).
  explicit Sessions(std::string text);
  const Json::Array& List() const { return *sessions_; }
  // "product_id" of the first session; E_INVALIDARG when there is none.
  const std::string& FirstProductId() const;

 private:
  const Json::Array* sessions_;
};

class SessionToken : public JsonObject {
 public:
  explicit SessionToken(std::string text);
  explicit SessionToken(const Json::Value* value);
  const std::string& SessionId() const { return *sessionId_; }
  const std::string& Token() const { return *token_; }

 private:
  void Read();
  const std::string* sessionId_ = nullptr;
  const std::string* token_ = nullptr;
};

// The one answer whose root is an array.
class SessionTokens : public JsonValue<Json::Array> {
 public:
  explicit SessionTokens(std::string text);
  const std::vector<SessionToken>& List() const { return tokens_; }

 private:
  std::vector<SessionToken> tokens_;
};

class Product : public JsonObject {
 public:
  explicit Product(std::string text);
  const std::string& Title() const { return *title_; }

 private:
  const std::string* title_;
};

// The answer of a session copy: the new session's id.
class CopyResponse : public JsonObject {
 public:
  explicit CopyResponse(std::string text);  // "uuid" missing or not a string: E_INVALIDARG
  const std::string& Uuid() const { return *uuid_; }

 private:
  const std::string* uuid_;
};

class TokenObject : public JsonObject {
 public:
  explicit TokenObject(std::string text);  // "proxyToken" missing or not a string: E_INVALIDARG
  const std::string& ProxyToken() const { return *proxyToken_; }

 private:
  const std::string* proxyToken_;
};

class YoutubeSettings : public JsonObject {
 public:
  explicit YoutubeSettings(std::string text);
  // Absent when "youtube" or its "stream_key" is missing or not of the right type.
  std::optional<std::string> StreamKey() const;
};

class RenewTokenParams : public Json::Object {
 public:
  explicit RenewTokenParams(const std::string& proxyToken);
};

class AbortSessionParams : public Json::Object {
 public:
  static constexpr std::size_t kMaxCommentBytes = 63;
  explicit AbortSessionParams(const std::string& comment);
};

// The first `maxBytes` bytes of `text`, shortened further so that no UTF-8
// sequence is cut in half.
std::string TruncateUtf8(const std::string& text, std::size_t maxBytes);
