#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/config/Config.h"
#include "sov/config/Convert.h"
#include "tests/unit/config/ConfigTestSupport.h"

namespace {

// One character as a wide string: a surrogate pair where wchar_t has 16 bits (Windows).
std::wstring WideOf(char32_t c) {
  if (sizeof(wchar_t) == 4 || c < 0x10000) return std::wstring(1, static_cast<wchar_t>(c));
  return {static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)),
          static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
}

using configtest::ConfigTest;

// The throw place of a conversion failure, as "source:line".
template <typename F>
std::string ThrowPlace(F&& f) {
  try {
    f();
  } catch (const ConvertException& e) {
    return std::string(e.Source()) + ":" + std::to_string(e.Line());
  }
  return "no exception";
}

TEST(Convert, NumbersReadTheLeadingNumber) {
  const std::pair<const char*, int32_t> ints[] = {{"7985", 7985},
                                                  {"7985abc", 7985},
                                                  {" \t42", 42},
                                                  {"-12", -12},
                                                  {"+12", 12},
                                                  {"0x10", 0},
                                                  {"12.9", 12},
                                                  {"2147483647", INT32_MAX},
                                                  {"-2147483648", INT32_MIN}};
  for (const auto& [text, value] : ints) EXPECT_EQ(Convert::ToInt(text), value) << text;
  const std::pair<const char*, float> floats[] = {
      {"144.0", 144.0f}, {"59.94Hz", 59.94f}, {"-1.5e2", -150.0f}};
  for (const auto& [text, value] : floats) EXPECT_FLOAT_EQ(Convert::ToFloat(text), value) << text;
}

TEST(Convert, FailuresThrowFromTheirFixedLines) {
  for (const char* bad : {"", "abc", "-", " ", "2147483648", "-2147483649", "99999999999999999999999"}) {
    EXPECT_TRUE(ThrowPlace([&] { Convert::ToInt(bad); }).ends_with("Convert.cpp:30")) << bad;
  }
  for (const char* bad : {"", "Hz", "1e99", "-1e99"}) {
    EXPECT_TRUE(ThrowPlace([&] { Convert::ToFloat(bad); }).ends_with("Convert.cpp:30")) << bad;
  }
  EXPECT_TRUE(Convert::ToBool("true"));
  EXPECT_FALSE(Convert::ToBool("false"));
  for (const char* bad : {"True", "TRUE", "False", "1", "0", "yes", "", " true", "true "}) {
    EXPECT_TRUE(ThrowPlace([&] { Convert::ToBool(bad); }).ends_with("Convert.cpp:52")) << bad;
  }
}

TEST(Convert, Utf8DecodesEveryLengthAndRoundTrips) {
  const std::pair<std::string, std::wstring> cases[] = {
      {"", L""},
      {"Z\xC3\xBCrich", L"Z\u00FCrich"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xEF\xBF\xBD", L"\uFFFD"},  // a real replacement character is well-formed
      {"\xF0\x9F\x8E\xAE", WideOf(0x1F3AE)},
      {"\xF4\x8F\xBF\xBF", WideOf(0x10FFFF)},
      {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
  };
  for (const auto& [utf8, wide] : cases) {
    EXPECT_EQ(Convert::ToWide(utf8), wide) << utf8;
    EXPECT_EQ(Convert::ToUtf8(wide), utf8);
  }
}

TEST(Convert, IllFormedTextThrows) {
  for (const char* bad : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
                          "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xE2\x82",
                          "\xF0\x9F\x8E", "\xE2\x28\xA1", "\xF0\x9F\x28\xAE", "ok\xC3"}) {
    EXPECT_THROW(Convert::ToWide(bad), ConvertException) << ::testing::PrintToString(std::string(bad));
  }
  // Lone surrogates; past U+10FFFF and negative where wchar_t holds 32 bits.
  std::vector<std::wstring> badWide = {std::wstring(1, static_cast<wchar_t>(0xD800)),
                                       std::wstring(1, static_cast<wchar_t>(0xDFFF)),
                                       std::wstring{static_cast<wchar_t>(0xD800), L'a'}};
  if constexpr (sizeof(wchar_t) == 4) {
    badWide.emplace_back(1, static_cast<wchar_t>(0x110000));
    badWide.emplace_back(1, static_cast<wchar_t>(-1));
  }
  for (const std::wstring& bad : badWide) EXPECT_THROW(Convert::ToUtf8(bad), ConvertException);
}

}  // namespace
