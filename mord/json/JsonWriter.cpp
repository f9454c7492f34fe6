// Compact writer for request bodies: ", " between items, " : " after keys,
// keys in bytewise order, numbers in the default stream form (%g).
#include <charconv>
#include <cmath>
#include <sstream>

#include "mord/json/Json.h"
#include "sov/base/Text.h"

namespace Json {
namespace {

void WriteNumber(double value, std::ostream& out) {
  // inf and nan have no JSON form; null keeps the body parseable.
  if (!std::isfinite(value)) {
    out << "null";
    return;
  }
  // Same text as an ostream's default formatting (six significant digits),
  // but never with a locale's decimal comma.
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
  out.write(buf, ec == std::errc() ? end - buf : 0);
}

}  // namespace

void writeString(std::string_view s, std::ostream& out) {
  std::string text;
  text.reserve(2 * s.size() + 2);
  text.push_back('"');
  for (char ch : s) {
    auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\' || ch == '"') {
      text.push_back('\\');
      text.push_back(ch);
    } else if (byte < 0x20) {
      // Control bytes must be escaped for the body to be valid JSON (error
      // texts with line breaks end up in abort comments).
      text.append("\\u00");
      text::AppendHexByte(text, byte);
    } else {
      text.push_back(ch);
    }
  }
  text.push_back('"');
  out << text;
}

void writeValue(const Value* value, std::ostream& out) {
  if (value == nullptr) {
    out << "null";
    return;
  }
  switch (value->TypeCode()) {
    case Number::kTypeCode:
      WriteNumber(static_cast<const Number*>(value)->Get(), out);
      return;
    case String::kTypeCode:
      writeString(static_cast<const String*>(value)->Get(), out);
      return;
    case Boolean::kTypeCode:
      out << (static_cast<const Boolean*>(value)->Get() ? "true" : "false");
      return;
    case Array::kTypeCode: {
      out << '[';
      const char* separator = "";
      for (const auto& item : static_cast<const Array*>(value)->Items()) {
        out << separator;
        writeValue(item.get(), out);
        separator = ", ";
      }
      out << ']';
      return;
    }
    case Object::kTypeCode: {
      out << '{';
      const char* separator = "";
      for (const auto& [key, member] : static_cast<const Object*>(value)->Items()) {
        out << separator;
        writeString(key, out);
        out << " : ";
        writeValue(member.get(), out);
        separator = ", ";
      }
      out << '}';
      return;
    }
    default:
      out << "null";  // a value class this writer does not know
      return;
  }
}

std::string toText(const Value* value) {
  std::ostringstream out;
  writeValue(value, out);
  return out.str();
}

}  // namespace Json
