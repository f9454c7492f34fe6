#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sov/base/BaseException.h"
#include "sov/config/Config.h"
#include "sov/config/Convert.h"
#include "tests/unit/config/ConfigTestSupport.h"

namespace {

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

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Convert, IntegerReadsLeadingNumber) {
  EXPECT_EQ(Convert::ToInt("7985"), 7985);
  EXPECT_EQ(Convert::ToInt("7985abc"), 7985);
  EXPECT_EQ(Convert::ToInt(" \t42"), 42);
  EXPECT_EQ(Convert::ToInt("-12"), -12);
  EXPECT_EQ(Convert::ToInt("+12"), 12);
  EXPECT_EQ(Convert::ToInt("0x10"), 0);
  EXPECT_EQ(Convert::ToInt("12.9"), 12);
  EXPECT_EQ(Convert::ToInt("2147483647"), 2147483647);
  EXPECT_EQ(Convert::ToInt("-2147483648"), INT32_MIN);
}

TEST(Convert, IntegerFailuresThrowFromOnePlace) {
  for (const char* bad :
       {"", "abc", "-", " ", "2147483648", "-2147483649", "4294967296", "99999999999999999999999"}) {
    SCOPED_TRACE(bad);
    const std::string place = ThrowPlace([&] { Convert::ToInt(bad); });
    EXPECT_TRUE(EndsWith(place, "Convert.cpp:30")) << place;
  }
}

TEST(Convert, Float) {
  EXPECT_FLOAT_EQ(Convert::ToFloat("144.0"), 144.0f);
  EXPECT_FLOAT_EQ(Convert::ToFloat("59.94Hz"), 59.94f);
  EXPECT_FLOAT_EQ(Convert::ToFloat("-1.5e2"), -150.0f);
  EXPECT_FLOAT_EQ(Convert::ToFloat("60"), 60.0f);
  for (const char* bad : {"", "Hz", "1e99", "-1e99"}) {
    SCOPED_TRACE(bad);
    EXPECT_TRUE(EndsWith(ThrowPlace([&] { Convert::ToFloat(bad); }), "Convert.cpp:30"));
  }
}

TEST(Convert, BooleanIsExactAndCaseSensitive) {
  EXPECT_TRUE(Convert::ToBool("true"));
  EXPECT_FALSE(Convert::ToBool("false"));
  for (const char* bad : {"True", "TRUE", "False", "1", "0", "yes", "", " true", "true "}) {
    SCOPED_TRACE(bad);
    EXPECT_TRUE(EndsWith(ThrowPlace([&] { Convert::ToBool(bad); }), "Convert.cpp:52"));
  }
}

TEST(Convert, Utf8DecodesEveryLength) {
  EXPECT_EQ(Convert::ToWide(""), L"");
  EXPECT_EQ(Convert::ToWide("host.example"), L"host.example");
  EXPECT_EQ(Convert::ToWide("Z\xC3\xBCrich"), L"Z\u00FCrich");               // 2 bytes
  EXPECT_EQ(Convert::ToWide("\xE2\x82\xAC"), L"\u20AC");                     // 3 bytes
  EXPECT_EQ(Convert::ToWide("\xF0\x9F\x8E\xAE"), std::wstring(1, 0x1F3AE));  // 4 bytes
  EXPECT_EQ(Convert::ToWide("\xF4\x8F\xBF\xBF"), std::wstring(1, 0x10FFFF));
  EXPECT_EQ(Convert::ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Convert, IllFormedUtf8Throws) {
  const char* bad[] = {
      "\x80",              // lone continuation byte
      "\xC0\xAF",          // overlong '/'
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong 3-byte
      "\xF0\x80\x80\xAF",  // overlong 4-byte
      "\xED\xA0\x80",      // surrogate D800
      "\xED\xBF\xBF",      // surrogate DFFF
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xF5\x80\x80\x80",  // never a lead byte
      "\xFF",
      "\xE2\x82",          // truncated at end
      "\xF0\x9F\x8E",      // truncated at end
      "\xE2\x28\xA1",      // second byte not a continuation
      "\xF0\x9F\x28\xAE",  // third byte not a continuation
      "ok\xC3",            // truncated after valid text
  };
  for (const char* b : bad) {
    SCOPED_TRACE(::testing::PrintToString(std::string(b)));
    EXPECT_THROW(Convert::ToWide(b), ConvertException);
  }
}

TEST(Convert, WideToUtf8RoundTripsAndRejectsNonCharacters) {
  for (const std::string s : {"plain", "Z\xC3\xBCrich", "\xE2\x82\xAC \xF0\x9F\x8E\xAE", "\xEF\xBF\xBF"}) {
    EXPECT_EQ(WideToUtf8(Utf8ToWide(s)), s);
  }
  EXPECT_THROW(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), ConvertException);
  EXPECT_THROW(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), ConvertException);
  EXPECT_THROW(WideToUtf8(std::wstring(1, static_cast<wchar_t>(-1))), ConvertException);
}

TEST_F(ConfigTest, BooleanKeysFromFile) {
  EXPECT_THROW(LoadText("UseVirtualAudio = True\n"), ConvertException);
  LoadText("UseVirtualAudio = true\nPausedOnFullscreen=false\n");
  EXPECT_TRUE(Config::Instance().useVirtualAudio);
  EXPECT_FALSE(Config::Instance().pausedOnFullscreen);
}

TEST_F(ConfigTest, NumbersFromFile) {
  LoadText("ApiPort = 9004 ; api\nDesiredMonitorFreq = 59.94\nUDPVideoSendWnd=7985abc\n");
  EXPECT_EQ(Config::Instance().apiPort, 9004);
  EXPECT_FLOAT_EQ(Config::Instance().desiredMonitorFreq, 59.94f);
  EXPECT_EQ(Config::Instance().videoKcp.sendWnd, 7985);
  EXPECT_THROW(LoadText("UDPAudioRecvWnd = 4294967296\n"), ConvertException);
  EXPECT_THROW(LoadText("DesiredMonitorFreq = fast\n"), ConvertException);
}

TEST_F(ConfigTest, WideValuesFromFileAreUtf8) {
  LoadText(
      "SettingsHost = b\xC3\xBC"
      "cher.example\nlogger.applicationlog = /var/log/\xE2\x82\xAC\n");
  EXPECT_EQ(Config::Instance().settingsHost, L"b\u00FCcher.example");
  EXPECT_EQ(Config::Instance().applicationLogFolder, L"/var/log/\u20AC");
  EXPECT_THROW(LoadText("TokenVerifierHost = bad\xC0\xAFhost\n"), ConvertException);
  EXPECT_THROW(LoadText("logger.servicelog = \xED\xA0\x80\n"), ConvertException);
}

}  // namespace
