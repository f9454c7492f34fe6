#pragma once
// The small JSON library shared by both programs: a tree of values, a lenient
// parser for the back-end's answers, a compact writer for request bodies and
// the typed layer (JsonValue<T>, JsonObject) the service records build on.
// A JSON null is a null value pointer wherever a value can stand.
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace Json {

class Value {
 public:
  Value() = default;
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  virtual ~Value();
  // 0 Number, 1 String, 2 Boolean, 3 Array, 4 Object.
  virtual int TypeCode() const = 0;
};

class Number : public Value {
 public:
  static constexpr int kTypeCode = 0;
  explicit Number(double value = 0) : value_(value) {}
  int TypeCode() const override { return kTypeCode; }
  double Get() const { return value_; }
  void Set(double value) { value_ = value; }

 private:
  double value_;
};

// Bytes as received; UTF-8 is neither checked nor decoded.
class String : public Value {
 public:
  static constexpr int kTypeCode = 1;
  String() = default;
  explicit String(std::string value) : value_(std::move(value)) {}
  int TypeCode() const override { return kTypeCode; }
  const std::string& Get() const { return value_; }
  void Set(std::string value) { value_ = std::move(value); }

 private:
  std::string value_;
};

class Boolean : public Value {
 public:
  static constexpr int kTypeCode = 2;
  explicit Boolean(bool value = false) : value_(value) {}
  int TypeCode() const override { return kTypeCode; }
  bool Get() const { return value_; }
  void Set(bool value) { value_ = value; }

 private:
  bool value_;
};

class Array : public Value {
 public:
  static constexpr int kTypeCode = 3;
  Array() = default;
  int TypeCode() const override { return kTypeCode; }

  // A null pointer stands for a JSON null element.
  void Append(std::unique_ptr<Value> value) { items_.push_back(std::move(value)); }
  std::size_t Size() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  // The element at `index` (null for a JSON null); index must be below Size().
  const Value* At(std::size_t index) const { return items_.at(index).get(); }
  const std::vector<std::unique_ptr<Value>>& Items() const { return items_; }

 private:
  std::vector<std::unique_ptr<Value>> items_;
};

// Members ordered by key, bytewise. Request bodies derive from this class and
// insert their members in the constructor.
class Object : public Value {
 public:
  static constexpr int kTypeCode = 4;
  using Members = std::map<std::string, std::unique_ptr<Value>, std::less<>>;

  Object() = default;
  int TypeCode() const override { return kTypeCode; }

  // Replaces an earlier member of the same key; a null value stores a JSON null.
  void Insert(std::string key, std::unique_ptr<Value> value);
  // The member's value, or null when the key is absent or its value is null.
  const Value* Find(std::string_view key) const;
  std::size_t Size() const { return members_.size(); }
  bool Empty() const { return members_.empty(); }
  const Members& Items() const { return members_; }

 private:
  Members members_;
};

// `value` as a V, or null when it is null or of another type.
template <class V>
const V* As(const Value* value) {
  return value != nullptr && value->TypeCode() == V::kTypeCode ? static_cast<const V*>(value) : nullptr;
}

// Containers nested deeper than this fail like any other malformed text.
constexpr int kMaxDepth = 256;

// Parses one value at `cursor` in a NUL-terminated text and advances the
// cursor past it. Returns null for "null" and for malformed text; the reason of
// a failure goes to standard error. Text after the value is left to the caller.
std::unique_ptr<Value> parseValue(const char*& cursor);

// Appends the compact text of `value` (null writes "null").
void writeValue(const Value* value, std::ostream& out);
// Appends `s` as a quoted JSON string.
void writeString(std::string_view s, std::ostream& out);
// The compact text of `value`, as sent in a request body.
std::string toText(const Value* value);

}  // namespace Json

// Owns one parsed document (the text and its tree) whose root is a T, or
// refers to a T inside a document that someone else owns.
template <class T>
class JsonValue {
 public:
  // Parses `text`; a root that is missing, malformed or not a T raises
  // ErrCodeException E_INVALIDARG.
  explicit JsonValue(std::string text);
  // Refers to `value` without owning it; a value that is null or not a T
  // raises ErrCodeException E_INVALIDARG.
  explicit JsonValue(const Json::Value* value);
  JsonValue(JsonValue&&) noexcept = default;
  JsonValue& operator=(JsonValue&&) noexcept = default;
  virtual ~JsonValue();

  const T& Root() const { return *root_; }

 protected:
  const T* root_ = nullptr;
  std::unique_ptr<T> owned_;  // set when this object owns the tree
  std::string text_;
};

// Base of the typed response records: a record looks up its members once in
// its constructor and keeps pointers into the tree, valid while it lives.
class JsonObject : public JsonValue<Json::Object> {
 public:
  using JsonValue::JsonValue;

  // A required member: absent, null or of another type raises BaseException
  // "no such key in json object".
  template <class V>
  const V& Get(std::string_view key) const {
    return static_cast<const V&>(Require(key, V::kTypeCode));
  }
  // An optional member: null when absent, null-valued or of another type.
  template <class V>
  const V* Find(std::string_view key) const {
    return Json::As<V>(root_->Find(key));
  }

  const std::string& GetString(std::string_view key) const { return Get<Json::String>(key).Get(); }
  double GetNumber(std::string_view key) const { return Get<Json::Number>(key).Get(); }
  const std::string* FindString(std::string_view key) const;
  std::optional<double> FindNumber(std::string_view key) const;

 private:
  const Json::Value& Require(std::string_view key, int typeCode) const;
};
