#pragma once
// Small text helpers every module shares: UTF-8 encoding, hex digits and the
// ASCII case-insensitive compare used for option, header and value names.
#include <string>
#include <string_view>

namespace text {

// Appends the UTF-8 form of c; a surrogate or a value beyond U+10FFFF becomes U+FFFD.
void AppendUtf8(std::string& out, char32_t c);

// True for a Unicode scalar value (not a surrogate, at most U+10FFFF).
constexpr bool IsScalar(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// Decodes the character at text[i] and moves i past it. Ill-formed input (a stray or
// missing continuation byte, an overlong form, a surrogate, beyond U+10FFFF) gives U+FFFD
// and moves i by one byte, so decoding always makes progress.
char32_t DecodeUtf8(std::string_view text, std::size_t& i);

// The value of one hex digit of either case, or -1.
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends two lower-case hex digits.
void AppendHexByte(std::string& out, unsigned char b);

// ASCII letters compared without regard to case; other bytes as they are.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace text
