#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include "mord/json/Json.h"

namespace {

std::string Write(double value) {
  Json::Number n(value);
  return Json::toText(&n);
}

std::string WriteStr(const std::string& s) {
  std::ostringstream out;
  Json::writeString(s, out);
  return out.str();
}

TEST(JsonWriter, NumbersInDefaultStreamForm) {
  EXPECT_EQ(Write(0.1), "0.1");
  EXPECT_EQ(Write(100000000), "1e+08");
  EXPECT_EQ(Write(1234567), "1.23457e+06");  // seven digits: scientific, six significant
  EXPECT_EQ(Write(0.00001), "1e-05");
}

TEST(JsonWriter, NumbersMatchAnOrdinaryStream) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> mantissa(-10, 10);
  std::uniform_int_distribution<int> exponent(-12, 12);
  for (int i = 0; i < 5000; ++i) {
    double v = mantissa(rng) * std::pow(10.0, exponent(rng));
    std::ostringstream expected;
    expected << v;
    ASSERT_EQ(Write(v), expected.str()) << v;
  }
}

TEST(JsonWriter, NonFiniteNumbersWriteNull) {
  EXPECT_EQ(Write(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(Write(-std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(Write(std::numeric_limits<double>::quiet_NaN()), "null");
}

TEST(JsonWriter, StringEscapes) {
  EXPECT_EQ(WriteStr("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(WriteStr(std::string("l1\nl2\r\0\x1f\x7f\xc3\xbc", 11)),
            "\"l1\\u000al2\\u000d\\u0000\\u001f\x7f\xc3\xbc\"");
}

// Keys go out bytewise: upper case before lower case, bytes above 0x7f last.
TEST(JsonWriter, KeyOrderIsBytewise) {
  Json::Object bytes;
  bytes.Insert("\xc3\xa9", std::make_unique<Json::Boolean>(true));
  bytes.Insert("z", std::make_unique<Json::Boolean>(false));
  bytes.Insert("Z", nullptr);
  EXPECT_EQ(Json::toText(&bytes), "{\"Z\" : null, \"z\" : false, \"\xc3\xa9\" : true}");
  EXPECT_EQ(Json::toText(nullptr), "null");
}

std::unique_ptr<Json::Value> ParseQuiet(const std::string& text) {
  const char* cursor = text.c_str();
  testing::internal::CaptureStderr();
  auto v = Json::parseValue(cursor);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << text;
  return v;
}

// Every byte value, alone and between others, reads back as written.
TEST(JsonRoundTrip, EveryByteOfAString) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    const std::string s = std::string("<") + static_cast<char>(b) + ">";
    all += s;
    for (const std::string& text : {s, all}) {
      auto back = ParseQuiet(WriteStr(text));
      const auto* str = Json::As<Json::String>(back.get());
      ASSERT_NE(str, nullptr) << b;
      ASSERT_EQ(str->Get(), text) << b;
    }
  }
}

}  // namespace
