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
  EXPECT_EQ(WriteStr(std::string("l1\nl2\r\0\x1f\x7f\xc3\xbc", 11)), "\"l1\\u000al2\\u000d\\u0000\\u001f\x7f\xc3\xbc\"");
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

// Random trees of everything the parser can read back exactly: strings of any
// bytes and numbers with at most six significant digits that print without an
// exponent.
std::unique_ptr<Json::Value> RandomTree(std::mt19937& rng, int depth) {
  int kind = std::uniform_int_distribution<int>(0, depth > 4 ? 3 : 5)(rng);
  switch (kind) {
    case 0:
      return nullptr;
    case 1:
      return std::make_unique<Json::Number>(std::uniform_int_distribution<int>(-999999, 999999)(rng) /
                                            std::pow(10.0, std::uniform_int_distribution<int>(0, 3)(rng)));
    case 2: {
      std::string s;
      int n = std::uniform_int_distribution<int>(0, 12)(rng);
      for (int i = 0; i < n; ++i)
        s.push_back(static_cast<char>(std::uniform_int_distribution<int>(0, 0xff)(rng)));
      return std::make_unique<Json::String>(s);
    }
    case 3:
      return std::make_unique<Json::Boolean>(rng() & 1);
    case 4: {
      auto a = std::make_unique<Json::Array>();
      int n = std::uniform_int_distribution<int>(0, 4)(rng);
      for (int i = 0; i < n; ++i) a->Append(RandomTree(rng, depth + 1));
      return a;
    }
    default: {
      auto o = std::make_unique<Json::Object>();
      int n = std::uniform_int_distribution<int>(0, 4)(rng);
      for (int i = 0; i < n; ++i) {
        std::string key;
        int len = std::uniform_int_distribution<int>(0, 6)(rng);
        for (int j = 0; j < len; ++j)
          key.push_back(static_cast<char>(std::uniform_int_distribution<int>(0, 0xff)(rng)));
        o->Insert(key, RandomTree(rng, depth + 1));
      }
      return o;
    }
  }
}

TEST(JsonRoundTrip, RandomTreesWriteParseWrite) {
  std::mt19937 rng(777);
  for (int i = 0; i < 2000; ++i) {
    auto tree = RandomTree(rng, 0);
    std::string first = Json::toText(tree.get());
    auto back = ParseQuiet(first);
    ASSERT_EQ(Json::toText(back.get()), first);
  }
}

}  // namespace
