#pragma once
// Typed reading of configuration values. Every failure raises ConvertException.
#include <cstdint>
#include <string>

namespace Convert {

// Formatted extraction from the start of the value: leading whitespace is
// skipped and reading stops at the first character that does not fit, so
// "7985abc" gives 7985. Nothing readable, or a number out of range, throws.
int32_t ToInt(const std::string& value);
float ToFloat(const std::string& value);

// Exactly "true" or "false"; case and surrounding blanks matter.
bool ToBool(const std::string& value);

// Strict UTF-8 (no overlong forms, surrogates or truncated sequences); one
// wchar_t per code point.
std::wstring ToWide(const std::string& utf8);
std::string ToUtf8(const std::wstring& wide);

}  // namespace Convert
