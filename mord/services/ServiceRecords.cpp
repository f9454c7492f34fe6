#include "mord/services/ServiceRecords.h"

#include <cmath>
#include <limits>

#include "sov/base/BaseException.h"

namespace {

// Truncates toward zero; a value that no integer of the type can hold is a
// malformed answer rather than undefined behaviour.
template <class Int>
Int TruncateNumber(double value) {
  const double t = std::trunc(value);
  if (!std::isfinite(t) || t < static_cast<double>(std::numeric_limits<Int>::min()) ||
      t >= -static_cast<double>(std::numeric_limits<Int>::min()))
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  return static_cast<Int>(t);
}

const std::string& RequireStringOrInvalid(const JsonObject& record, std::string_view key) {
  const std::string* value = record.FindString(key);
  if (value == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  return *value;
}

}  // namespace

Endpoint::Endpoint(const Json::Value* value) : JsonObject(value) {
  // Members are read in this order so that the first missing one is reported.
  if (std::optional<double> port = FindNumber("base_port")) entry_.basePort = TruncateNumber<int32_t>(*port);
  entry_.uuid = GetString("uuid");
  entry_.serverId = GetString("server_id");
  entry_.ip = GetString("ip");
  entry_.priority = TruncateNumber<int64_t>(GetNumber("priority"));
  const std::string* city = FindString("city");
  entry_.city = city ? *city : "Unknown city";
}

Endpoints::Endpoints(std::string text) : JsonObject(std::move(text)) {
  status_ = &GetString("status");
  const Json::Array& list = Get<Json::Array>("endpoints");
  endpoints_.reserve(list.Size());
  for (const auto& item : list.Items()) endpoints_.push_back(Endpoint(item.get()).Entry());
}

Sessions::Sessions(std::string text) : JsonObject(std::move(text)) {
  sessions_ = Find<Json::Array>("sessions");
  if (sessions_ == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

const std::string& Sessions::FirstProductId() const {
  const auto* first = sessions_->Empty() ? nullptr : Json::As<Json::Object>(sessions_->At(0));
  const auto* id = first ? Json::As<Json::String>(first->Find("product_id")) : nullptr;
  if (id == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  return id->Get();
}

SessionToken::SessionToken(std::string text) : JsonObject(std::move(text)) {
  Read();
}
SessionToken::SessionToken(const Json::Value* value) : JsonObject(value) {
  Read();
}

void SessionToken::Read() {
  sessionId_ = &GetString("sessionId");
  token_ = &GetString("token");
}

SessionTokens::SessionTokens(std::string text) : JsonValue<Json::Array>(std::move(text)) {
  tokens_.reserve(root_->Size());
  for (const auto& item : root_->Items()) tokens_.emplace_back(item.get());
}

Product::Product(std::string text) : JsonObject(std::move(text)) {
  title_ = &GetString("title");
}

CopyResponse::CopyResponse(std::string text) : JsonObject(std::move(text)) {
  uuid_ = &RequireStringOrInvalid(*this, "uuid");
}

TokenObject::TokenObject(std::string text) : JsonObject(std::move(text)) {
  proxyToken_ = &RequireStringOrInvalid(*this, "proxyToken");
}

YoutubeSettings::YoutubeSettings(std::string text) : JsonObject(std::move(text)) {}

std::optional<std::string> YoutubeSettings::StreamKey() const {
  const Json::Object* youtube = Find<Json::Object>("youtube");
  const auto* key = youtube ? Json::As<Json::String>(youtube->Find("stream_key")) : nullptr;
  if (key == nullptr) return std::nullopt;
  return key->Get();
}

RenewTokenParams::RenewTokenParams(const std::string& proxyToken) {
  Insert("proxy_token", std::make_unique<Json::String>(proxyToken));
}

AbortSessionParams::AbortSessionParams(const std::string& comment) {
  Insert("abort_comment", std::make_unique<Json::String>(TruncateUtf8(comment, kMaxCommentBytes)));
}

std::string TruncateUtf8(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  // Step back over continuation bytes to the start of the cut sequence, and
  // drop that sequence when it does not fit whole.
  std::size_t start = end;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  if (start < end) end = start;
  return text.substr(0, end);
}
