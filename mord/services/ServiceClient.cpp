#include "mord/services/ServiceClient.h"

namespace {

bool IsHex(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

bool IsUnreserved(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '-' ||
         ch == '.' || ch == '_' || ch == '~';
}

}  // namespace

const std::string& CheckedSessionId(const std::string& id) {
  bool ok = id.size() == 36;
  for (std::size_t i = 0; ok && i < id.size(); ++i)
    ok = (i == 8 || i == 13 || i == 18 || i == 23) ? id[i] == '-' : IsHex(id[i]);
  if (!ok) throw HttpRequestException("session id is not a UUID", ZEP_SOURCE, __LINE__);
  return id;
}

const std::string& CheckedPathValue(const std::string& value) {
  bool ok = !value.empty() && value != "." && value != "..";
  for (char ch : value) ok = ok && IsUnreserved(ch);
  if (!ok)
    throw HttpRequestException("path value holds characters other than A-Z a-z 0-9 - . _ ~", ZEP_SOURCE,
                               __LINE__);
  return value;
}
