// The typed layer over parsed documents. Callers and their logs identify the
// two shape failures by source and line: a document whose root is missing,
// malformed or of the wrong kind throws on line 19, a required member that is
// absent or mistyped on line 53. Keep both throws where they are.
#include "mord/json/Json.h"
#include "sov/base/BaseException.h"

template <class T>
JsonValue<T>::JsonValue(const Json::Value* value) : root_(Json::As<T>(value)) {
  if (root_ == nullptr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

// Parses `text`, which the value keeps for as long as it lives.
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
JsonValue<T>::~JsonValue() = default;

template class JsonValue<Json::Object>;
template class JsonValue<Json::Array>;

const std::string* JsonObject::FindString(std::string_view key) const {
  const Json::String* value = Find<Json::String>(key);
  return value ? &value->Get() : nullptr;
}

std::optional<double> JsonObject::FindNumber(std::string_view key) const {
  const Json::Number* value = Find<Json::Number>(key);
  return value ? std::optional<double>(value->Get()) : std::nullopt;
}

// A required member. A JSON null counts as absent: the parser stores no value
// for it, so Find cannot tell the two apart.
//
// Records call this once per member in their constructors, in the order
// their fields are read, so the first member missing from an answer is the
// one reported. A member of another type (an array where an object is
// expected) fails like a missing one.
//
// The reference returned points into the tree owned by this object (or by
// the document it was made from) and lives as long as that tree.
const Json::Value& JsonObject::Require(std::string_view key, int typeCode) const {
  const Json::Value* value = root_->Find(key);
  if (value == nullptr || value->TypeCode() != typeCode)
    throw BaseException("no such key in json object", ZEP_SOURCE, __LINE__);
  return *value;
}
