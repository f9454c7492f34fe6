#include "sov/config/Convert.h"

#include <locale>
#include <sstream>

#include "sov/base/BaseException.h"
#include "sov/config/Config.h"

// Log readers and support look for these throws by line: numbers on 30,
// booleans on 52. Keep them there when editing above.

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

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

[[noreturn]] void IllFormed() {
  throw ConvertException(ZEP_SOURCE, __LINE__);
}

}  // namespace

std::wstring ToWide(const std::string& utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b0 = static_cast<unsigned char>(utf8[i]);
    if (b0 < 0x80) {
      out.push_back(static_cast<wchar_t>(b0));
      ++i;
      continue;
    }
    std::size_t length;
    uint32_t cp;
    // The bounds on the second byte reject overlong forms (E0, F0), surrogates
    // (ED) and code points past U+10FFFF (F4).
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      IllFormed();
    }
    if (n - i < length) IllFormed();
    const unsigned char b1 = static_cast<unsigned char>(utf8[i + 1]);
    if (b1 < lo || b1 > hi) IllFormed();
    cp = (cp << 6) | (b1 & 0x3F);
    for (std::size_t k = 2; k < length; ++k) {
      const unsigned char b = static_cast<unsigned char>(utf8[i + k]);
      if (!IsContinuation(b)) IllFormed();
      cp = (cp << 6) | (b & 0x3F);
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += length;
  }
  return out;
}

std::string ToUtf8(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t w : wide) {
    const int64_t signedCp = static_cast<int64_t>(w);
    if (signedCp < 0 || signedCp > 0x10FFFF || (signedCp >= 0xD800 && signedCp <= 0xDFFF)) IllFormed();
    const uint32_t cp = static_cast<uint32_t>(signedCp);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
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
