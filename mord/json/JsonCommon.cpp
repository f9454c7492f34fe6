#include "mord/json/Json.h"
#include "sov/base/BaseException.h"

template <class T>
JsonValue<T>::JsonValue(std::string text) : text_(std::move(text)) {
  const char* cursor = text_.c_str();
  std::unique_ptr<Json::Value> root = Json::parseValue(cursor);
  if (!root || root->TypeCode() != T::kTypeCode)
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  owned_.reset(static_cast<T*>(root.release()));
  root_ = owned_.get();
}

template <class T>
JsonValue<T>::JsonValue(const Json::Value* value) : root_(Json::As<T>(value)) {
  if (root_ == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

template <class T>
JsonValue<T>::~JsonValue() = default;

template class JsonValue<Json::Object>;
template class JsonValue<Json::Array>;

const Json::Value& JsonObject::Require(std::string_view key, int typeCode) const {
  const Json::Value* value = root_->Find(key);
  if (value == nullptr || value->TypeCode() != typeCode)
    throw BaseException("no such key in json object", ZEP_SOURCE, __LINE__);
  return *value;
}

const std::string* JsonObject::FindString(std::string_view key) const {
  const Json::String* value = Find<Json::String>(key);
  return value ? &value->Get() : nullptr;
}

std::optional<double> JsonObject::FindNumber(std::string_view key) const {
  const Json::Number* value = Find<Json::Number>(key);
  return value ? std::optional<double>(value->Get()) : std::nullopt;
}
