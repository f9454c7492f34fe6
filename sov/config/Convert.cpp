#include "sov/config/Convert.h"

#include <locale>
#include <sstream>

#include "sov/base/BaseException.h"
#include "sov/base/Text.h"
#include "sov/config/Config.h"

// Log readers look for these throws by line: numbers on 30, booleans on 52. Keep them there.

namespace Convert {
namespace {

// A stream failure covers both "nothing to read" and "does not fit the type"
// (the standard library sets failbit on overflow), so one throw serves both.
template <typename T>
T ReadNumber(const std::string& value) {
  std::istringstream in(value);
  in.imbue(std::locale::classic());
  T result{};
  in >> result;
  if (!in.fail()) return result;
  // A value such as "1e99" for a float or "99999999999" for an integer lands
  // here, as does an empty or non-numeric one. Clamping to the type's limits
  // (what the stream stores on overflow) would hand a port or window size that
  // nobody wrote to the transports, so the file's author gets an exception that
  // names this place instead. Start-up reports it before any socket is opened.
  // Integers and floats share this one place on purpose.
  throw ConvertException(ZEP_SOURCE, __LINE__);
}

}  // namespace

int32_t ToInt(const std::string& value) {
  return ReadNumber<int32_t>(value);
}

float ToFloat(const std::string& value) {
  return ReadNumber<float>(value);
}

// The parser has already trimmed TAB and SPACE; anything beyond the two exact
// words, including "True" or "1", is a mistake in the file that should not
// silently turn into a default. Both programs read the same flags, so a typo
// shows up at start-up of either one rather than as a quietly different
// behaviour on one machine. An empty value (a key followed by its equals sign
// and nothing else) fails here too.
bool ToBool(const std::string& value) {
  if (value == "true") return true;
  if (value == "false") return false;
  throw ConvertException(ZEP_SOURCE, __LINE__);
}

namespace {

[[noreturn]] void IllFormed() {
  throw ConvertException(ZEP_SOURCE, __LINE__);
}

}  // namespace

// The shared decoder turns every ill-formed byte into U+FFFD and moves on by one byte; a real
// U+FFFD in the file is three bytes long, so a one-byte step tells the two apart.
std::wstring ToWide(const std::string& utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t start = i;
    const char32_t c = text::DecodeUtf8(utf8, i);
    if (c == 0xFFFD && i - start != 3) IllFormed();
    // A 16-bit wchar_t (Windows) carries UTF-16: characters past the BMP become a surrogate pair.
    if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
      out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

// The shared encoder would replace a surrogate or an out-of-range value; here that is an error.
std::string ToUtf8(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    int64_t cp = static_cast<int64_t>(wide[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      cp = static_cast<uint16_t>(wide[i]);
      // A high surrogate followed by a low one is one character; a lone one is ill-formed.
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size()) {
        const int64_t lo = static_cast<uint16_t>(wide[i + 1]);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          ++i;
        }
      }
    }
    if (cp < 0 || !text::IsScalar(static_cast<char32_t>(cp))) IllFormed();
    text::AppendUtf8(out, static_cast<char32_t>(cp));
  }
  return out;
}

}  // namespace Convert

std::wstring Utf8ToWide(const std::string& utf8) {
  return Convert::ToWide(utf8);
}

std::string WideToUtf8(const std::wstring& wide) {
  return Convert::ToUtf8(wide);
}
