#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "mord/json/Json.h"

namespace {

struct Parsed {
  std::unique_ptr<Json::Value> value;
  std::string errors;    // what the parser wrote to standard error
  std::size_t consumed;  // bytes the cursor advanced
};

Parsed Parse(const std::string& text) {
  const char* cursor = text.c_str();
  testing::internal::CaptureStderr();
  auto value = Json::parseValue(cursor);
  std::string errors = testing::internal::GetCapturedStderr();
  return {std::move(value), errors, static_cast<std::size_t>(cursor - text.c_str())};
}

struct Case {
  const char* name;
  std::string input;
  std::optional<std::string> written;  // toText of the result; nullopt: no value
  std::string errors;
};

const Case kCases[] = {
    {"empty object", "{}", "{}", ""},
    {"empty array", "[]", "[]", ""},
    {"comment inside object", "{ // nothing here\n}", "{}", ""},
    {"comments between items", "[//a\n1 // b\n, 2//c\n]", "[1, 2]", ""},
    {"comment to end of text", "{// open", std::nullopt,
     "parseFieldName error, expected '\"'. Got: \nMap parse error, expected separator ':'. Got: \n"},
    {"single slash is no comment", "[1 / 2]", std::nullopt,
     "List parse error, expected separator ','. Got: / 2]\n"},
    {"all whitespace kinds", " \t\n\v\f\r[ \t\n\v\f\r1\r\n]", "[1]", ""},
    {"backslash slash drops both", "\"a\\/b\"", "\"ab\"", ""},
    {"backslash n drops both", "\"a\\nb\\u0041\"", "\"ab0041\"", ""},
    {"quote and backslash escapes", "\"a\\\"b\\\\c\"", "\"a\\\"b\\\\c\"", ""},
    {"unterminated string keeps bytes", "\"abc", "\"abc\"", ""},
    {"text ends inside escape", "\"abc\\", "\"abc\"", ""},
    {"utf8 passes through", "\"h\xc3\xa9llo \xe2\x82\xac\"", "\"h\xc3\xa9llo \xe2\x82\xac\"", ""},
    {"trailing comma in list", "[1, 2,]", "[1, 2]", ""},
    {"trailing comma in map", "{\"a\":1,}", "{\"a\" : 1}", ""},
    {"missing list separator", "[1 2]", std::nullopt, "List parse error, expected separator ','. Got: 2]\n"},
    {"exponent is not taken", "{\"a\": 1e5}", std::nullopt,
     "Map parse error, expected ',' or '}'. Got: e5}\n"},
    {"plus is not a number", "[+1]", std::nullopt,
     "Unrecognized literal: +1]\nList parse error, expected separator ','. Got: +1]\n"},
    {"null member stored as null", "{\"a\": null}", "{\"a\" : null}", ""},
    {"literals", "[true, false, null]", "[true, false, null]", ""},
    {"unknown word leaves a null", "[foo, 1]", "[null, 1]", "Unrecognized literal: , 1]\n"},
    {"word with digits and underscore", "[null_1]", "[null]", "Unrecognized literal: ]\n"},
    {"double comma leaves a null", "[1,,2]", "[1, null, 2]", "Unrecognized literal: ,2]\n"},
    {"unknown character", "@", std::nullopt, "Unrecognized literal: @\n"},
    {"empty text", "", std::nullopt, "Unrecognized literal: \n"},
    {"only whitespace and comment", "  // x", std::nullopt, "Unrecognized literal: \n"},
    {"unquoted key", "{a:1}", std::nullopt,
     "parseFieldName error, expected '\"'. Got: a:1}\nMap parse error, expected separator ':'. Got: a:1}\n"},
    {"missing member separator", "{\"a\":1 \"b\":2}", std::nullopt,
     "Map parse error, expected ',' or '}'. Got: \"b\":2}\n"},
    {"unclosed map", "{\"a\":1", std::nullopt, "Map parse error, expected ',' or '}'. Got: \n"},
    {"unclosed list", "[1", std::nullopt, "List parse error, expected separator ','. Got: \n"},
    {"repeated key replaces", "{\"a\":1,\"a\":[2]}", "{\"a\" : [2]}", ""},
    {"keys sorted", "{\"b\":1,\"a\":2,\"B\":3}", "{\"B\" : 3, \"a\" : 2, \"b\" : 1}", ""},
    {"nested", "{\"a\":[1,{\"b\":\"c\"}],\"d\":{}}", "{\"a\" : [1, {\"b\" : \"c\"}], \"d\" : {}}", ""},
    {"numbers like atof", "[-1.5, 1-2, -, 1.2.3, 007, -0.25]", "[-1.5, 1, 0, 1.2, 7, -0.25]", ""},
    {"huge number", "[1" + std::string(400, '0') + "]", "[null]", ""},  // inf, written as null
    {"failed inner map fails outer list", "[{\"a\" 1}, 2]", std::nullopt,
     "Map parse error, expected separator ':'. Got: 1}, 2]\nList parse error, expected separator ','. Got: "
     "1}, 2]\n"},
};

class ParseTable : public testing::TestWithParam<Case> {};

TEST_P(ParseTable, ValueAndDiagnostics) {
  const Case& c = GetParam();
  Parsed p = Parse(c.input);
  if (c.written) {
    ASSERT_NE(p.value, nullptr) << c.input;
    EXPECT_EQ(Json::toText(p.value.get()), *c.written);
  } else {
    EXPECT_EQ(p.value, nullptr) << Json::toText(p.value.get());
  }
  EXPECT_EQ(p.errors, c.errors);
}

INSTANTIATE_TEST_SUITE_P(Json, ParseTable, testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = info.param.name;
  for (char& ch : name)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
});

TEST(JsonParser, NullDocumentIsNoValueWithoutMessage) {
  Parsed p = Parse("  null  ");
  EXPECT_EQ(p.value, nullptr);
  EXPECT_EQ(p.errors, "");
  EXPECT_EQ(p.consumed, 6u);
}

TEST(JsonParser, CursorStopsAfterTheValue) {
  EXPECT_EQ(Parse("[1] rest").consumed, 3u);
  EXPECT_EQ(Parse("{\"a\":1}x").consumed, 7u);
  EXPECT_EQ(Parse("\"ab\"cd").consumed, 4u);
  EXPECT_EQ(Parse("12.5,").consumed, 4u);
  EXPECT_EQ(Parse("\"abc").consumed, 4u);  // stays at the end of the text
}

TEST(JsonParser, TypesAndValues) {
  Parsed p = Parse("{\"n\": -12.25, \"s\": \"x\", \"t\": true, \"f\": false, \"a\": [null, 1], \"o\": {}}");
  const auto* o = Json::As<Json::Object>(p.value.get());
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->Size(), 6u);
  EXPECT_DOUBLE_EQ(Json::As<Json::Number>(o->Find("n"))->Get(), -12.25);
  EXPECT_EQ(Json::As<Json::String>(o->Find("s"))->Get(), "x");
  EXPECT_TRUE(Json::As<Json::Boolean>(o->Find("t"))->Get());
  EXPECT_FALSE(Json::As<Json::Boolean>(o->Find("f"))->Get());
  const auto* a = Json::As<Json::Array>(o->Find("a"));
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->Size(), 2u);
  EXPECT_EQ(a->At(0), nullptr);
  EXPECT_EQ(a->At(1)->TypeCode(), Json::Number::kTypeCode);
  EXPECT_EQ(o->Find("o")->TypeCode(), Json::Object::kTypeCode);
  EXPECT_EQ(o->Find("missing"), nullptr);
  EXPECT_EQ(Json::As<Json::String>(o->Find("n")), nullptr);  // wrong type reads as absent
}

TEST(JsonParser, NullMemberIsFoundAsAbsent) {
  Parsed p = Parse("{\"a\": null}");
  const auto* o = Json::As<Json::Object>(p.value.get());
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->Size(), 1u);
  EXPECT_EQ(o->Find("a"), nullptr);
}

std::string Nested(int depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

TEST(JsonParser, NestingUpToTheLimitParses) {
  Parsed p = Parse(Nested(Json::kMaxDepth, '[', ']'));
  ASSERT_NE(p.value, nullptr);
  EXPECT_EQ(p.errors, "");
  EXPECT_EQ(Json::toText(p.value.get()), Nested(Json::kMaxDepth, '[', ']'));

  // Depth is counted per path, not per container: siblings do not add up.
  const std::string inner = Nested(Json::kMaxDepth - 1, '[', ']');
  std::string siblings = "[";
  siblings += inner;
  siblings += ",";
  siblings += inner;
  siblings += "]";
  EXPECT_NE(Parse(siblings).value, nullptr);

  std::string maps;
  for (int i = 0; i < Json::kMaxDepth - 1; ++i) maps += "{\"a\":";
  maps += "{}" + std::string(Json::kMaxDepth - 1, '}');
  Parsed m = Parse(maps);
  EXPECT_NE(m.value, nullptr);
  EXPECT_EQ(m.errors, "");
}

TEST(JsonParser, TooDeepNestingFailsWithOneMessage) {
  for (const std::string& text : {Nested(Json::kMaxDepth + 1, '[', ']'), std::string(100000, '['),
                                  "{\"a\":" + std::string(100000, '[') + "}"}) {
    Parsed p = Parse(text);
    EXPECT_EQ(p.value, nullptr);
    EXPECT_EQ(p.errors.rfind("Parse error, nesting deeper than 256 levels. Got: ", 0), 0u)
        << p.errors.substr(0, 80);
    EXPECT_EQ(std::count(p.errors.begin(), p.errors.end(), '\n'), 1);
    EXPECT_EQ(p.consumed, text.size());  // nothing after it is read as a value
  }

  std::string maps;
  for (int i = 0; i < 100000; ++i) maps += "{\"k\":";
  Parsed m = Parse(maps);
  EXPECT_EQ(m.value, nullptr);
  EXPECT_EQ(std::count(m.errors.begin(), m.errors.end(), '\n'), 1);
}

}  // namespace
