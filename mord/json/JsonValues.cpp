#include "mord/json/Json.h"

namespace Json {

Value::~Value() = default;

void Object::Insert(std::string key, std::unique_ptr<Value> value) {
  members_.insert_or_assign(std::move(key), std::move(value));
}

const Value* Object::Find(std::string_view key) const {
  auto it = members_.find(key);
  return it == members_.end() ? nullptr : it->second.get();
}

}  // namespace Json
